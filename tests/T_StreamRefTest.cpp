#include "Common/T_StreamRef.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <utility>

#include "Common/T_GenericStream.h"
#include "Common/T_GenericStreamRO.h"
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

TEST(StreamRef, RefusedCallsRaiseTheSlotsError) {
  TSlotError::Clear();
  TStreamRef view(TGenericStreamRO::Create("abc", 3));
  try {
    view.Write("x", 1);
    FAIL() << "no exception";
  } catch (const std::exception& error) {
    EXPECT_STREQ(error.what(), "Assertion failure (Common/T_GenericStreamRO, line 150)");
  }
  EXPECT_THROW(view.SetSize(1), std::exception);
  EXPECT_THROW(view.Truncate(1), std::exception);
  EXPECT_THROW(view.Clear(), std::exception);
  EXPECT_THROW(view.Compact(), std::exception);
  EXPECT_EQ(TakeSlotError(), "") << "the agent's own failures are not left for a task";
}

TEST(StreamRef, SizeAndFillThroughTheBasePointer) {
  TStreamRef stream(TGenericStream::Create());
  stream.SetSize(5);
  std::memcpy(stream.GetBasePointer(), "hello", 5);
  stream.SetPos(1);
  char buffer[8] = {};
  EXPECT_EQ(stream.Read(buffer, 8), 4);
  EXPECT_STREQ(buffer, "ello");
  EXPECT_FALSE(stream.IsReadOnly());
  EXPECT_EQ(stream.GetSize(), 5);
  EXPECT_EQ(stream.Compact(), 5);
}
