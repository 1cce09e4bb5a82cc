// The data cache against a fake user data port on 127.0.0.1.
#include "Agent/T_AgentDataCache.h"

#include <gtest/gtest.h>

#include <future>

#include "Agent/T_Agent.h"
#include "Agent/T_AgentPeer.h"
#include "Agent/T_MainThreadQueue.h"
#include "FakePeers.h"
#include "AgentFixture.h"
#include "TestSupport.h"

namespace {

struct DataCacheTest : ::testing::Test {
  TTempDir Dir;
  TTestPlatform Platform;
  TMainThreadQueue MainThread;
  fake::TFakeUser User;
  std::unique_ptr<TAgent> Agent;
  std::unique_ptr<TAgentPeer> Peer;
  std::unique_ptr<TAgentDataCache> Cache;

  void SetUp() override {
    Agent = MakeCoreAgent(Platform, Dir, MainThread, User.Port());
    Peer = std::make_unique<TAgentPeer>(*Agent, "127.0.0.1");
    Peer->Connect();
    Cache = std::make_unique<TAgentDataCache>(*Agent, *Peer);
  }

  // The view's bytes; the view is released.
  static std::string Read(IGenericStream* view) {
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
  ASSERT_EQ(Cache->GetData("matrix", first), 0);
  ASSERT_EQ(Cache->GetData("matrix", second), 0);
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
    return Cache->GetData("shared", view) == 0 ? Read(view) : std::string("<failed>");
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
  ASSERT_EQ(Cache->GetData("packed", view), 0);
  EXPECT_EQ(Read(view), content);
  ASSERT_EQ(Cache->GetData("packed", view), 0);
  EXPECT_EQ(Read(view), content);
}

TEST_F(DataCacheTest, CorruptCompressedDataRaisesAndCachesNothing) {
  User.AddData("bad", CompressedBlock("abc", 99));
  IGenericStream* view = nullptr;
  EXPECT_THROW(Cache->GetData("bad", view), std::logic_error);
  EXPECT_EQ(view, nullptr);
  EXPECT_THROW(Cache->GetData("bad", view), std::logic_error);
  EXPECT_EQ(User.Taken().size(), 2u) << "the failed block was not cached";
}

TEST_F(DataCacheTest, AViewOutlivesItsDroppedEntry) {
  User.AddData("block", "still here");
  IGenericStream* view = nullptr;
  ASSERT_EQ(Cache->GetData("block", view), 0);
  Cache->FreeData(std::string("block"));
  EXPECT_EQ(Read(view), "still here");  // the sanitizer build proves the bytes were alive
  IGenericStream* again = nullptr;
  ASSERT_EQ(Cache->GetData("block", again), 0);
  Read(again);
  EXPECT_EQ(User.Taken().size(), 2u) << "a dropped block is fetched again";
}

TEST_F(DataCacheTest, IdentifiersCompareByteForByteAndFreeDataWithoutOneDropsAll) {
  User.AddData("Block", "upper");
  User.AddData("block", "lower");
  IGenericStream* view = nullptr;
  ASSERT_EQ(Cache->GetData("Block", view), 0);
  EXPECT_EQ(Read(view), "upper");
  ASSERT_EQ(Cache->GetData("block", view), 0);
  EXPECT_EQ(Read(view), "lower");
  Cache->FreeData(std::string("nothing"));
  ASSERT_EQ(Cache->GetData("block", view), 0);
  Read(view);
  EXPECT_EQ(User.Taken().size(), 2u);
  Cache->FreeData(std::nullopt);
  ASSERT_EQ(Cache->GetData("Block", view), 0);
  EXPECT_EQ(Read(view), "upper");
  ASSERT_EQ(Cache->GetData("block", view), 0);
  Read(view);
  EXPECT_EQ(User.Taken().size(), 4u);
}

TEST_F(DataCacheTest, AFailedFetchLeavesTheSlotAndAsksAgainNextTime) {
  IGenericStream* untouched = reinterpret_cast<IGenericStream*>(0x1234);
  EXPECT_EQ(Cache->GetData("missing", untouched), 1);
  EXPECT_EQ(untouched, reinterpret_cast<IGenericStream*>(0x1234));
  EXPECT_EQ(Count("DATA: Request for file data failed - NULL."), 1);
  User.AddData("missing", "arrived");
  IGenericStream* view = nullptr;
  ASSERT_EQ(Cache->GetData("missing", view), 0);
  EXPECT_EQ(Read(view), "arrived");
}
