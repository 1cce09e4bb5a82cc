// SPDX-License-Identifier: Apache-2.0
#include "Common/T_GenericStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "Common/T_BlockCache.h"
#include "Common/T_GenericStreamRO.h"
#include "Common/T_StreamRef.h"
#include "StatusAssertions.h"
#include "StreamTestSupport.h"

namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

// A new stream, called through its table the way a task calls it.
class GenericStream : public ::testing::Test {
 protected:
  void SetUp() override { TSlotError::Clear(); }
  void TearDown() override { EXPECT_EQ(TakeSlotError(), "") << "a slot failed unexpectedly"; }

  // Fills the stream with `count` pattern bytes and moves to `position`.
  void Fill(int32_t count, int32_t position) {
    auto bytes = Pattern(static_cast<size_t>(count));
    ASSERT_EQ(S->Write(bytes.data(), count), count);
    S->SetPos(position);
  }
  size_t Capacity() const { return TGenericStream::From(S)->Capacity(); }

  TStreamRef Holder{TGenericStream::Create()};
  IGenericStream* S = Holder.Get();
};

}  // namespace


TEST_F(GenericStream, WriteOverwritesThenExtends) {
  Fill(100, 90);
  auto tail = Pattern(20, 200);
  EXPECT_EQ(S->Write(tail.data(), 20), 20);
  EXPECT_EQ(S->GetSize(), 110);
  EXPECT_EQ(S->GetPos(), 110);
  auto expected = Pattern(90);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(Content(S), expected);
}

TEST_F(GenericStream, WriteBeyondTheEndLeavesAGap) {
  Fill(10, 20);
  EXPECT_EQ(S->Write("abc", 3), 3);
  EXPECT_EQ(S->GetSize(), 23);
  EXPECT_EQ(S->GetPos(), 23);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(S->GetBasePointer()) + 20, 3), "abc");
}

TEST_F(GenericStream, WriteCanTakeItsBytesFromTheStreamItself) {
  Fill(8192, 8192);  // the memory is full: appending must move it
  EXPECT_EQ(S->Write(S->GetBasePointer(), 8192), 8192);
  auto twice = Pattern(8192);
  twice.insert(twice.end(), twice.begin(), twice.end());
  EXPECT_EQ(Content(S), twice);
  S->SetPos(1);  // overlapping source and destination
  EXPECT_EQ(S->Write(S->GetBasePointer(), 100), 100);
  EXPECT_EQ(std::vector<uint8_t>(S->GetBasePointer() + 1, S->GetBasePointer() + 101), Pattern(100));
}

TEST_F(GenericStream, NegativeCountsDoNothing) {
  Fill(10, 5);
  char buffer[4];
  EXPECT_EQ(S->Write("x", -1), 0);
  EXPECT_EQ(S->Read(buffer, -1), 0);
  EXPECT_EQ(S->GetSize(), 10);
  EXPECT_EQ(S->GetPos(), 5);
}

TEST_F(GenericStream, ReadStopsAtTheEnd) {
  Fill(100, 0);
  ExpectReadsStopAtTheEnd(S);
}

TEST_F(GenericStream, NegativePositionIsARangeCheckError) {
  Fill(10, 4);
  S->SetPos(-1);
  EXPECT_EQ(TakeSlotError(), "Range check error");
  EXPECT_EQ(S->GetPos(), 4);
  EXPECT_EQ(Holder.SetPos(-1).Text(), "Range check error");
}

TEST_F(GenericStream, TruncateToThePosition) {
  Fill(100, 10);
  S->Truncate(-1);
  EXPECT_EQ(S->GetSize(), 10);
  EXPECT_EQ(S->GetPos(), 10);
  EXPECT_EQ(Content(S), Pattern(10));
}

TEST_F(GenericStream, TruncateCanGrowAndLeavesThePosition) {
  Fill(100, 10);
  S->Truncate(200);
  EXPECT_EQ(S->GetSize(), 200);
  EXPECT_EQ(S->GetPos(), 10);
  EXPECT_EQ(std::vector<uint8_t>(S->GetBasePointer(), S->GetBasePointer() + 100), Pattern(100));
}

TEST_F(GenericStream, SetSizeBelowThePositionMovesItToTheEnd) {
  Fill(100, 50);
  S->SetSize(5);
  EXPECT_EQ(S->GetSize(), 5);
  EXPECT_EQ(S->GetPos(), 5);
  EXPECT_EQ(Content(S), Pattern(5));
  S->SetSize(0);
  EXPECT_EQ(S->GetPos(), 0);
  EXPECT_EQ(S->GetBasePointer(), nullptr);
}

TEST_F(GenericStream, NegativeSizesAreRefused) {
  Fill(100, 50);
  S->SetSize(-5);
  EXPECT_EQ(TakeSlotError(), "Range check error");
  S->Truncate(-2);
  EXPECT_EQ(TakeSlotError(), "Range check error");
  EXPECT_EQ(S->GetSize(), 100);
  EXPECT_EQ(S->GetPos(), 50);
  EXPECT_EQ(Content(S), Pattern(100));
}

TEST_F(GenericStream, CapacityGrowsInWholeSteps) {
  EXPECT_EQ(Capacity(), 0u);
  Fill(1, 0);
  EXPECT_EQ(Capacity(), 8192u);
  uint8_t* base = S->GetBasePointer();
  Fill(8192, 8192);  // fits: no new memory
  EXPECT_EQ(Capacity(), 8192u);
  EXPECT_EQ(S->GetBasePointer(), base);
  EXPECT_EQ(S->Write("x", 1), 1);
  EXPECT_EQ(Capacity(), 16384u);
  S->SetSize(3 * 8192 + 1);
  EXPECT_EQ(Capacity(), 4u * 8192u);
  EXPECT_EQ(std::vector<uint8_t>(S->GetBasePointer(), S->GetBasePointer() + 8192), Pattern(8192));
  S->SetSize(S->GetSize());  // a request for the size itself is not rounded
  EXPECT_EQ(Capacity(), 3u * 8192u + 1u);
  S->Clear();
  EXPECT_EQ(Capacity(), 0u);
}

TEST_F(GenericStream, GrowthKeepsEveryWrittenByte) {
  auto bytes = Pattern(50000);
  for (int32_t offset = 0; offset < 50000; offset += 1000) ASSERT_EQ(S->Write(bytes.data() + offset, 1000), 1000);
  EXPECT_EQ(Content(S), bytes);
}

TEST_F(GenericStream, ManySmallWritesKeepTheContentAndMoveItRarely) {
  // 1 MiB in 100-byte pieces, as a task writes its output.
  const auto bytes = Pattern(1 << 20);
  std::vector<size_t> capacities;
  for (size_t offset = 0; offset < bytes.size(); offset += 100) {
    const auto count = static_cast<int32_t>(std::min<size_t>(100, bytes.size() - offset));
    ASSERT_EQ(S->Write(bytes.data() + offset, count), count);
    const size_t capacity = Capacity();
    ASSERT_EQ(capacity % 8192, 0u);
    ASSERT_GE(capacity, offset + static_cast<size_t>(count));
    if (capacities.empty() || capacities.back() != capacity) capacities.push_back(capacity);
  }
  EXPECT_EQ(Content(S), bytes);
  // Each new capacity may move the whole content: the memory grows in a few
  // large steps, not one 8 KiB step at a time, and never far beyond the size.
  EXPECT_LE(capacities.size(), 16u);
  EXPECT_LE(capacities.back(), 2u * bytes.size());

  // Overwriting inside and appending from its own memory after that growth.
  S->SetPos(10);
  ASSERT_EQ(S->Write("abc", 3), 3);
  S->SetPos(S->GetSize());
  const int32_t size = S->GetSize();
  ASSERT_EQ(S->Write(S->GetBasePointer(), size), size);
  EXPECT_EQ(S->GetSize(), 2 * size);
  EXPECT_EQ(std::memcmp(S->GetBasePointer() + size, S->GetBasePointer(), static_cast<size_t>(size)), 0);
  EXPECT_EQ(std::memcmp(S->GetBasePointer() + size + 10, "abc", 3), 0);
  // SetSize still fits the memory to the size it asks for.
  S->SetSize(100);
  EXPECT_EQ(Capacity(), 8192u);
}

TEST_F(GenericStream, CompactKeepsContentAndPosition) {
  Fill(100, 37);
  S->SetSize(100);  // the memory fits the size exactly
  EXPECT_EQ(Capacity(), 100u);
  EXPECT_EQ(S->Compact(), 37);
  EXPECT_EQ(S->GetPos(), 37);
  EXPECT_EQ(Content(S), Pattern(100));
  EXPECT_EQ(Capacity(), 8192u);
  S->Clear();
  EXPECT_EQ(S->Compact(), 0);
  EXPECT_EQ(S->GetBasePointer(), nullptr);
}



TEST_F(GenericStream, NoGrowthBeyondTheLargestSize) {
  Fill(10, kMax - 1);
  EXPECT_EQ(S->Write("ab", 2), 0);
  EXPECT_EQ(TakeSlotError(), "Out of memory while expanding memory stream");
  S->SetPos(1);
  EXPECT_EQ(S->Write("ab", kMax), 0);
  EXPECT_EQ(TakeSlotError(), "Out of memory while expanding memory stream");
  EXPECT_EQ(S->GetSize(), 10);
  EXPECT_EQ(S->GetPos(), 1);
}



TEST_F(GenericStream, OnlyItsOwnStreamsAreFound) {
  TStreamRef view(TGenericStreamRO::Create("x", 1));
  EXPECT_NE(TGenericStream::From(S), nullptr);
  EXPECT_EQ(TGenericStream::From(view.Get()), nullptr);
  EXPECT_EQ(TGenericStream::From(nullptr), nullptr);
}


TEST_F(GenericStream, CountsStayRightUnderThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this] {
      for (int i = 0; i < 20000; ++i) {
        S->AddRef();
        S->AddRef();
        S->Release();
        S->Release();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(S->AddRef(), 2);
  EXPECT_EQ(S->Release(), 1);
}

// Large blocks of the same size come back warm from the cache; the cache
// stays within its bounds, and a stream never sees another's bytes as its
// own content.
TEST(BlockCache, ReusesBlocksOfTheSameSizeWithinItsBounds) {
  TBlockCache cache;
  constexpr size_t kBlock = TBlockCache::kSmallestBlock;
  void* first = cache.Take(kBlock);
  ASSERT_NE(first, nullptr);
  cache.Give(first, kBlock);
  void* other = cache.Take(2 * kBlock);
  EXPECT_NE(other, first) << "only the same size is reused";
  std::free(other);
  EXPECT_EQ(cache.BlocksKept(), 1u);
  EXPECT_EQ(cache.Take(kBlock), first);
  EXPECT_EQ(cache.BlocksKept(), 0u);
  std::free(first);

  // Small blocks are not kept; past the bounds the oldest go first.
  cache.Give(std::malloc(kBlock - 1), kBlock - 1);
  EXPECT_EQ(cache.BlocksKept(), 0u);
  for (size_t i = 0; i < TBlockCache::kMaxBlocks + 4; ++i) cache.Give(std::malloc(kBlock), kBlock);
  EXPECT_EQ(cache.BlocksKept(), TBlockCache::kMaxBlocks);
  const size_t big = 12u << 20;
  for (int i = 0; i < 3; ++i) cache.Give(std::malloc(big), big);
  EXPECT_LE(cache.BytesKept(), TBlockCache::kMaxBytes);
  EXPECT_EQ(cache.BlocksKept(), 2u) << "two of 12 MiB fit in 32 MiB; the oldest went";
  cache.ReleaseAll();
  EXPECT_EQ(cache.BlocksKept(), 0u);
  EXPECT_EQ(cache.BytesKept(), 0u);
}

TEST_F(GenericStream, LargeStreamsKeepTheirContentThroughTheCache) {
  TBlockCache::Process().ReleaseAll();
  const size_t big = 3 * TBlockCache::kSmallestBlock;
  std::string content(big + 100, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 13 + (i >> 9));
  for (int round = 0; round < 3; ++round) {
    TStreamRef stream(TGenericStream::Create());
    // Small writes grow it through realloc, then through the cache.
    for (size_t at = 0; at < content.size(); at += 1000)
      ASSERT_OK(stream.Write(content.data() + at, static_cast<int32_t>(std::min<size_t>(1000, content.size() - at))));
    ASSERT_EQ(std::string(reinterpret_cast<char*>(stream.GetBasePointer()), stream.GetSize()), content);
    ASSERT_OK(stream.SetSize(static_cast<int32_t>(big)));  // shrinks into a block of its own
    ASSERT_EQ(std::string(reinterpret_cast<char*>(stream.GetBasePointer()), big), content.substr(0, big));
    ASSERT_OK(stream.SetSize(0));
  }
  EXPECT_GE(TBlockCache::Process().BlocksKept(), 1u) << "freed large blocks are kept";
  TBlockCache::Process().ReleaseAll();
}
