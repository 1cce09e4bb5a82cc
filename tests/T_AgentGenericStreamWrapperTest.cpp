// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_AgentGenericStreamWrapper.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "Common/T_GenericStream.h"
#include "Common/kelvracommon.h"
#include "StreamTestSupport.h"

namespace {

// A cached block: a writable stream holding `count` pattern bytes, its
// position left at the end as a received block's is.
IGenericStream* NewBlock(int32_t count) {
  IGenericStream* block = TGenericStream::Create();
  auto bytes = Pattern(static_cast<size_t>(count));
  block->Write(bytes.data(), count);
  return block;
}

std::vector<uint8_t> ReadAll(IGenericStream* stream) {
  std::vector<uint8_t> bytes(static_cast<size_t>(stream->GetSize()));
  EXPECT_EQ(stream->Read(bytes.data(), stream->GetSize()), stream->GetSize());
  return bytes;
}

}  // namespace

TEST(AgentGenericStreamWrapper, ViewsTheWholeBlockFromPositionZero) {
  TStreamRef block(NewBlock(300));
  TStreamRef view(TAgentGenericStreamWrapper::Create(block.Get()));
  EXPECT_EQ(view.GetBasePointer(), block.GetBasePointer());
  EXPECT_EQ(view.GetSize(), 300);
  EXPECT_EQ(view.GetPos(), 0);
  EXPECT_TRUE(view.IsReadOnly());
  EXPECT_EQ(ReadAll(view.Get()), Pattern(300));
  EXPECT_EQ(block.GetPos(), 300) << "the block's own position is not touched";
}


TEST(AgentGenericStreamWrapper, HoldsAReferenceUntilItIsFreed) {
  TStreamRef block(NewBlock(10));
  TStreamRef view(TAgentGenericStreamWrapper::Create(block.Get()));
  EXPECT_THROW(RequireSingleHolder(block.Get(), "Agent/T_AgentDataCache", 1), std::logic_error);
  EXPECT_EQ(view.Get()->AddRef(), 2);
  EXPECT_EQ(view.Get()->Release(), 1) << "the view counts for itself, not the block's count";
  view.Drop();
  EXPECT_NO_THROW(RequireSingleHolder(block.Get(), "Agent/T_AgentDataCache", 1));
}

TEST(AgentGenericStreamWrapper, KeepsADroppedBlockAlive) {
  IGenericStream* block = NewBlock(5000);
  TStreamRef view(TAgentGenericStreamWrapper::Create(block));
  EXPECT_EQ(block->Release(), 1);  // the cache drops the block; the view's reference is left
  EXPECT_EQ(ReadAll(view.Get()), Pattern(5000));
  // Dropping the view now frees the block (the leak checker of the
  // sanitizer build sees a block that stays).
}

TEST(AgentGenericStreamWrapper, ViewsReleasedOnSeveralThreadsFreeTheBlockOnce) {
  IGenericStream* block = NewBlock(4096);
  std::vector<IGenericStream*> views;
  for (int i = 0; i < 8; ++i) views.push_back(TAgentGenericStreamWrapper::Create(block));
  EXPECT_EQ(block->Release(), 8);
  std::vector<std::thread> threads;
  for (IGenericStream* view : views) {
    threads.emplace_back([view] {
      for (int pass = 0; pass < 50; ++pass) {
        view->SetPos(0);
        EXPECT_EQ(ReadAll(view), Pattern(4096));
      }
      view->Release();
    });
  }
  for (auto& thread : threads) thread.join();
}
