// SPDX-License-Identifier: Apache-2.0
#include "Common/T_StreamRef.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "Common/T_GenericStream.h"
#include "Common/T_GenericStreamRO.h"
#include "StatusAssertions.h"
#include "StreamTestSupport.h"

namespace {

// The stream's count, seen by adding a reference and dropping it again.
int32_t CountOf(IGenericStream* stream) {
  stream->AddRef();
  return stream->Release();
}

}  // namespace

TEST(StreamRef, HoldsOneReferenceAndReleasesIt) {
  IGenericStream* stream = TGenericStream::Create();
  stream->AddRef();  // the test's own, so the stream outlives the holder
  {
    TStreamRef holder(stream);
    EXPECT_EQ(CountOf(stream), 2);
    TStreamRef shared = TStreamRef::AddRefTo(stream);
    EXPECT_EQ(CountOf(stream), 3);
  }
  EXPECT_EQ(stream->Release(), 0);
}

TEST(StreamRef, MovingHandsTheReferenceOn) {
  TStreamRef first(TGenericStream::Create());
  IGenericStream* stream = first.Get();
  TStreamRef second(std::move(first));
  EXPECT_FALSE(first);  // NOLINT(bugprone-use-after-move): the giver's slot is empty
  EXPECT_EQ(second.Get(), stream);
  TStreamRef third;
  third = std::move(second);
  EXPECT_EQ(CountOf(third.Get()), 1);
  third = TStreamRef(TGenericStream::Create());  // drops the first stream
  EXPECT_NE(third.Get(), nullptr);
}

TEST(StreamRef, DetachGivesTheReferenceAway) {
  TStreamRef holder(TGenericStream::Create());
  IGenericStream* stream = holder.Detach();
  EXPECT_FALSE(holder);
  holder.Drop();  // nothing held: nothing released
  EXPECT_EQ(stream->Release(), 0);
}

TEST(StreamRef, RefusedCallsAnswerTheSlotsError) {
  TSlotError::Clear();
  TStreamRef view(TGenericStreamRO::Create("abc", 3));
  EXPECT_EQ(view.Write("x", 1).Text(), "Assertion failure (Common/T_GenericStreamRO, line 150)");
  EXPECT_EQ(view.SetSize(1).Text(), "Assertion failure (Common/T_GenericStreamRO, line 220)");
  EXPECT_EQ(view.Truncate(1).Text(), "Assertion failure (Common/T_GenericStreamRO, line 206)");
  EXPECT_EQ(view.Clear().Text(), "Assertion failure (Common/T_GenericStreamRO, line 192)");
  EXPECT_EQ(view.Compact().Text(), "Assertion failure (Common/T_GenericStreamRO, line 227)");
  EXPECT_EQ(TakeSlotError(), "") << "the agent's own failures are not left for a task";
  TStreamRef stream(TGenericStream::Create());
  EXPECT_EQ(stream.SetPos(-1).Text(), "Range check error");
  ASSERT_OK(stream.SetPos(1));  // a write of 2^31 - 1 bytes from here ends beyond what a stream holds
  EXPECT_EQ(stream.Write("x", INT32_MAX).Text(), "Out of memory while expanding memory stream");
  EXPECT_EQ(stream.GetSize(), 0) << "a refused call changes nothing";
}

TEST(StreamRef, SizeAndFillThroughTheBasePointer) {
  TStreamRef stream(TGenericStream::Create());
  ASSERT_OK(stream.SetSize(5));
  std::memcpy(stream.GetBasePointer(), "hello", 5);
  EXPECT_OK(stream.SetPos(1));
  char buffer[8] = {};
  EXPECT_EQ(stream.Read(buffer, 8), 4);
  EXPECT_STREQ(buffer, "ello");
  EXPECT_FALSE(stream.IsReadOnly());
  EXPECT_EQ(stream.GetSize(), 5);
  EXPECT_OK(stream.Compact());
  EXPECT_EQ(stream.GetPos(), 5);
  EXPECT_OK(stream.Write("!", 1));
  EXPECT_EQ(stream.GetSize(), 6);
}
