// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the stream tests: recognisable bytes, a stream holding
// given bytes, a stream's whole content, and the calling thread's remembered
// slot error.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Common/T_GenericStream.h"
#include "Common/T_SlotError.h"
#include "Common/T_StreamRef.h"
#include "I_GenericStream.h"
#include "StatusAssertions.h"

// `count` bytes that differ from their neighbours, starting from `seed`.
inline std::vector<uint8_t> Pattern(size_t count, uint8_t seed = 1) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

// A new stream holding `content`, at `position`.
inline TStreamRef StreamOf(const std::string& content, int32_t position = 0) {
  TStreamRef stream(TGenericStream::Create());
  EXPECT_OK(stream.Write(content.data(), static_cast<int32_t>(content.size())));
  EXPECT_OK(stream.SetPos(position));
  return stream;
}

// The stream's bytes from its base to its size, read without moving it.
inline std::vector<uint8_t> Content(IGenericStream* stream) {
  const uint8_t* base = stream->GetBasePointer();
  return base == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(base, base + stream->GetSize());
}

// The error the thread's slots remembered ("" for none), now forgotten.
inline std::string TakeSlotError() { return TSlotError::Take().Text(); }

// The reading rules both stream kinds share, on a stream of 100 bytes that
// holds Pattern(100): a read stops at the end, and nothing is read at or
// beyond it, even at a position set far past it.
inline void ExpectReadsStopAtTheEnd(IGenericStream* stream) {
  std::vector<uint8_t> buffer(100);
  auto content = Pattern(100);
  stream->SetPos(90);
  EXPECT_EQ(stream->Read(buffer.data(), 100), 10);
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 10),
            std::vector<uint8_t>(content.begin() + 90, content.end()));
  EXPECT_EQ(stream->GetPos(), 100);
  EXPECT_EQ(stream->Read(buffer.data(), 100), 0);
  stream->SetPos(1000);
  EXPECT_EQ(stream->GetPos(), 1000);
  EXPECT_EQ(stream->Read(buffer.data(), 100), 0);
  EXPECT_EQ(stream->GetSize(), 100);
}
