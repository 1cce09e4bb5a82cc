// SPDX-License-Identifier: Apache-2.0
// The data cache against a fake user data port on 127.0.0.1, built from the
// test platform alone.
#include "Agent/T_AgentDataCache.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>

#include "Agent/T_AgentPeer.h"
#include "FakePeers.h"
#include "SessionFixture.h"
#include "StatusAssertions.h"
#include "TestSupport.h"

namespace {

struct DataCacheTest : ::testing::Test {
  TTempDir Dir;
  TTestPlatform Platform;
  fake::TFakeUser User;
  std::unique_ptr<TAgentParts> Agent;
  std::unique_ptr<TAgentPeer> Peer;
  std::unique_ptr<TAgentDataCache> Cache;

  void SetUp() override { MakeParts(TestSettings(User.Port())); }
  // Makes the agent's parts, the peer and a cache bound to 1 GiB anew.
  void MakeParts(const TAgentSettings& settings) {
    Cache.reset();
    Peer.reset();
    Agent = std::make_unique<TAgentParts>(Platform, Dir, settings);
    Peer = std::make_unique<TAgentPeer>(Agent->Context, Agent->Closing, Agent->Load, "127.0.0.1");
    Peer->Connect();
    Cache = std::make_unique<TAgentDataCache>(Agent->Context, *Peer, uint64_t{1} << 30);
  }
  // Replaces the cache by one bound to `capacity` bytes.
  void Bound(uint64_t capacity) {
    Cache.reset();
    Cache = std::make_unique<TAgentDataCache>(Agent->Context, *Peer, capacity);
  }
  // The block's bytes, asked for and released at once.
  std::string Get(const std::string& identifier) {
    IGenericStream* view = nullptr;
    const TStatus got = Cache->GetData(identifier, view);
    return got.Ok() ? Read(view) : "<failed: " + got.Text() + ">";
  }
  // The GET_DATA requests the user has answered so far, in order.
  std::vector<std::string> Requests() {
    std::vector<std::string> texts;
    for (const auto& request : User.Taken()) texts.push_back(request.Text);
    return texts;
  }

  // The view's bytes; the view is released.
  static std::string Read(IGenericStream* view) {
    if (view == nullptr) return "<no view>";
    TStreamRef held(view);
    EXPECT_TRUE(held.IsReadOnly());
    EXPECT_EQ(held.GetPos(), 0);
    return std::string(reinterpret_cast<char*>(held.GetBasePointer()), static_cast<size_t>(held.GetSize()));
  }
  int Count(const std::string& line) {
    int count = 0;
    for (const std::string& taken : Platform.Debug.Taken()) count += taken == line + "\r";
    return count;
  }
};

}  // namespace

TEST_F(DataCacheTest, FetchesOnceAndHandsOutViews) {
  User.AddData("matrix", "0123456789");
  IGenericStream* first = nullptr;
  IGenericStream* second = nullptr;
  ASSERT_OK(Cache->GetData("matrix", first));
  ASSERT_OK(Cache->GetData("matrix", second));
  EXPECT_NE(first, second);
  EXPECT_EQ(first->GetBasePointer(), second->GetBasePointer()) << "views share the cached bytes";
  EXPECT_EQ(Read(first), "0123456789");
  EXPECT_EQ(Read(second), "0123456789");
  EXPECT_EQ(User.Taken().size(), 1u);
  EXPECT_EQ(Count("DATACACHE: Requesting data from user."), 1);
  EXPECT_EQ(Count("DATACACHE: Data reused from cache."), 1);
}

TEST_F(DataCacheTest, TwoTasksAskingAtOnceMakeOneRequest) {
  User.AddData("shared", "bytes");
  User.ReplyDelayMs = 200;
  auto ask = [&] {
    IGenericStream* view = nullptr;
    return Cache->GetData("shared", view).Ok() ? Read(view) : std::string("<failed>");
  };
  auto one = std::async(std::launch::async, ask);
  auto two = std::async(std::launch::async, ask);
  EXPECT_EQ(one.get(), "bytes");
  EXPECT_EQ(two.get(), "bytes");
  EXPECT_EQ(User.Taken().size(), 1u);
  EXPECT_EQ(Count("DATACACHE: Requesting data from user."), 1);
  EXPECT_EQ(Count("DATACACHE: Data reused from cache."), 1);
}

TEST_F(DataCacheTest, CompressedBlocksAreStoredInflated) {
  std::string content(50000, 'z');
  User.AddData("packed", CompressedBlock(content, static_cast<uint32_t>(content.size())));
  IGenericStream* view = nullptr;
  ASSERT_OK(Cache->GetData("packed", view));
  EXPECT_EQ(Read(view), content);
  ASSERT_OK(Cache->GetData("packed", view));
  EXPECT_EQ(Read(view), content);
}

TEST_F(DataCacheTest, CorruptCompressedDataFailsAndCachesNothing) {
  User.AddData("bad", CompressedBlock("abc", 99));
  IGenericStream* view = nullptr;
  EXPECT_EQ(Cache->GetData("bad", view).Text(), "Assertion failure (Common/kelvracommon, line 519)");
  EXPECT_EQ(view, nullptr);
  EXPECT_EQ(Get("bad"), "<failed: Assertion failure (Common/kelvracommon, line 519)>");
  EXPECT_EQ(User.Taken().size(), 2u) << "the failed block was not cached";
}

TEST_F(DataCacheTest, AViewOutlivesItsDroppedEntry) {
  User.AddData("block", "still here");
  IGenericStream* view = nullptr;
  ASSERT_OK(Cache->GetData("block", view));
  Cache->FreeData(std::string("block"));
  EXPECT_EQ(Read(view), "still here");  // the sanitizer build proves the bytes were alive
  IGenericStream* again = nullptr;
  ASSERT_OK(Cache->GetData("block", again));
  Read(again);
  EXPECT_EQ(User.Taken().size(), 2u) << "a dropped block is fetched again";
}

TEST_F(DataCacheTest, IdentifiersCompareByteForByteAndFreeDataWithoutOneDropsAll) {
  User.AddData("Block", "upper");
  User.AddData("block", "lower");
  IGenericStream* view = nullptr;
  ASSERT_OK(Cache->GetData("Block", view));
  EXPECT_EQ(Read(view), "upper");
  ASSERT_OK(Cache->GetData("block", view));
  EXPECT_EQ(Read(view), "lower");
  Cache->FreeData(std::string("nothing"));
  ASSERT_OK(Cache->GetData("block", view));
  Read(view);
  EXPECT_EQ(User.Taken().size(), 2u);
  Cache->FreeData(std::nullopt);
  ASSERT_OK(Cache->GetData("Block", view));
  EXPECT_EQ(Read(view), "upper");
  ASSERT_OK(Cache->GetData("block", view));
  Read(view);
  EXPECT_EQ(User.Taken().size(), 4u);
}

TEST_F(DataCacheTest, AFailedFetchLeavesTheSlotAndAsksAgainNextTime) {
  IGenericStream* untouched = reinterpret_cast<IGenericStream*>(0x1234);
  EXPECT_OK(Cache->GetData("missing", untouched));
  EXPECT_EQ(untouched, reinterpret_cast<IGenericStream*>(0x1234));
  EXPECT_EQ(Count("DATA: Request for file data failed - NULL."), 1);
  User.AddData("missing", "arrived");
  IGenericStream* view = nullptr;
  ASSERT_OK(Cache->GetData("missing", view));
  EXPECT_EQ(Read(view), "arrived");
}

TEST_F(DataCacheTest, UnviewedBlocksAreDroppedLeastRecentlyUsedFirstToMakeRoom) {
  Bound(30);
  for (const char* key : {"a", "b", "c", "d"}) User.AddData(key, std::string(10, key[0]));
  EXPECT_EQ(Get("a"), std::string(10, 'a'));
  EXPECT_EQ(Get("b"), std::string(10, 'b'));
  EXPECT_EQ(Get("c"), std::string(10, 'c'));
  EXPECT_EQ(Get("a"), std::string(10, 'a'));  // a hit: "b" is now the least recently used
  EXPECT_EQ(Get("d"), std::string(10, 'd'));  // 40 bytes would not fit: "b" goes
  EXPECT_EQ(Get("a"), std::string(10, 'a'));
  EXPECT_EQ(Get("c"), std::string(10, 'c'));
  EXPECT_EQ(Get("d"), std::string(10, 'd'));
  EXPECT_EQ(Requests(), (std::vector<std::string>{"GET_DATA a", "GET_DATA b", "GET_DATA c", "GET_DATA d"}));
  EXPECT_EQ(Get("b"), std::string(10, 'b'));  // fetched again, and "a" makes room
  EXPECT_EQ(Requests().size(), 5u);
  EXPECT_EQ(Get("c"), std::string(10, 'c'));
  EXPECT_EQ(Requests().size(), 5u);
  EXPECT_EQ(Get("a"), std::string(10, 'a'));
  EXPECT_EQ(Requests().back(), "GET_DATA a");
}

TEST_F(DataCacheTest, ViewedBlocksStayAndABlockThatCannotFitIsHandedOutButNotKept) {
  Bound(30);
  for (const char* key : {"a", "b", "c", "d", "e"}) User.AddData(key, std::string(10, key[0]));
  IGenericStream* viewA = nullptr;
  ASSERT_OK(Cache->GetData("a", viewA));  // the least recently used, but viewed
  EXPECT_EQ(Get("b"), std::string(10, 'b'));
  IGenericStream* viewC = nullptr;
  ASSERT_OK(Cache->GetData("c", viewC));
  IGenericStream* viewD = nullptr;
  ASSERT_OK(Cache->GetData("d", viewD));  // "b" goes, "a" stays
  EXPECT_EQ(Requests().size(), 4u);

  // Every cached block is viewed: "e" is handed out but not kept, and
  // nothing is dropped for it.
  IGenericStream* viewE = nullptr;
  ASSERT_OK(Cache->GetData("e", viewE));
  EXPECT_EQ(Count("DATACACHE: Data of 10 bytes does not fit in the cache, not kept."), 1);
  EXPECT_EQ(Read(viewE), std::string(10, 'e'));  // the sanitizer build proves the bytes were alive
  EXPECT_EQ(Get("e"), std::string(10, 'e'));      // fetched again
  EXPECT_EQ(Requests().size(), 6u);
  EXPECT_EQ(Read(viewA), std::string(10, 'a'));
  EXPECT_EQ(Read(viewC), std::string(10, 'c'));
  EXPECT_EQ(Read(viewD), std::string(10, 'd'));
  EXPECT_EQ(Get("a"), std::string(10, 'a'));
  EXPECT_EQ(Get("b"), std::string(10, 'b'));  // the views are gone: "e" could be kept now
  EXPECT_EQ(Get("e"), std::string(10, 'e'));
  EXPECT_EQ(Requests().size(), 8u);
  EXPECT_EQ(Get("e"), std::string(10, 'e'));
  EXPECT_EQ(Requests().size(), 8u);
}

TEST_F(DataCacheTest, ABlockLargerThanTheBoundIsNotKeptAndDropsNothing) {
  Bound(16);
  User.AddData("small", "12345");
  User.AddData("large", std::string(17, 'L'));
  EXPECT_EQ(Get("small"), "12345");
  EXPECT_EQ(Get("large"), std::string(17, 'L'));
  EXPECT_EQ(Count("DATACACHE: Data of 17 bytes does not fit in the cache, not kept."), 1);
  EXPECT_EQ(Get("small"), "12345");
  EXPECT_EQ(Get("large"), std::string(17, 'L'));
  EXPECT_EQ(Requests(), (std::vector<std::string>{"GET_DATA small", "GET_DATA large", "GET_DATA large"}));
  EXPECT_EQ(Count("DATACACHE: Data of 17 bytes does not fit in the cache, not kept."), 2);
}

TEST_F(DataCacheTest, ACompressedBlockInflatingBeyondTheBoundIsRefused) {
  Bound(4096);
  std::string zeros(1 << 20, '\0');
  User.AddData("bomb", CompressedBlock(zeros, static_cast<uint32_t>(zeros.size())));
  User.AddData("fits", CompressedBlock(std::string(4096, 'f'), 4096));
  IGenericStream* view = nullptr;
  EXPECT_EQ(Cache->GetData("bomb", view).Text(),
            "Compressed data would inflate to 1048576 bytes, more than the 4096 allowed");
  EXPECT_EQ(view, nullptr);
  EXPECT_EQ(Get("fits"), std::string(4096, 'f'));
  EXPECT_EQ(Get("fits"), std::string(4096, 'f'));
  EXPECT_EQ(Requests().size(), 2u);
}

// A session's cache is bound by maxDataCacheSize, which counts KiB; a
// negative value keeps nothing.
TEST_F(DataCacheTest, TheBoundOfTheSettingsCountsKibibytes) {
  TAgentSettings settings = TestSettings(User.Port());
  settings.MaxDataCacheSize = 1;
  MakeParts(settings);
  Bound(Agent->Context.Settings().MaxDataCacheBytes());  // as the session's worker makes it
  User.AddData("fits", std::string(1024, 'f'));
  User.AddData("over", std::string(1025, 'o'));
  EXPECT_EQ(Get("fits"), std::string(1024, 'f'));
  EXPECT_EQ(Get("fits"), std::string(1024, 'f'));
  EXPECT_EQ(Get("over"), std::string(1025, 'o'));
  EXPECT_EQ(Requests(), (std::vector<std::string>{"GET_DATA fits", "GET_DATA over"}));
  EXPECT_EQ(Count("DATACACHE: Data of 1025 bytes does not fit in the cache, not kept."), 1);

  settings.MaxDataCacheSize = -1;
  MakeParts(settings);
  Bound(Agent->Context.Settings().MaxDataCacheBytes());
  EXPECT_EQ(Get("fits"), std::string(1024, 'f'));
  EXPECT_EQ(Get("fits"), std::string(1024, 'f'));
  EXPECT_EQ(Requests().size(), 4u);
}
