// SPDX-License-Identifier: Apache-2.0
// Compressed streams: which blocks count as compressed, and how one inflates
// in place or fails with the agent's error, never holding more memory than
// the header's size (and the caller's bound) allows.
#include "Common/CompressedStream.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "Common/T_GenericStream.h"
#include "Common/T_GenericStreamRO.h"
#include "Common/T_StreamRef.h"
#include "StatusAssertions.h"
#include "StreamTestSupport.h"
#include "TestSupport.h"

namespace {

// The error of inflating `stream` within `limit` bytes, or "<no error>".
std::string DecompressError(TStreamRef& stream, int32_t limit = INT32_MAX) {
  const TStatus inflated = DecompressStream(stream.Get(), limit);
  return inflated.Ok() ? "<no error>" : inflated.Text();
}

}  // namespace

TEST(CompressedStream, RecognisedOnlyWithBothTagsAndTwelveBytes) {
  std::string header = CompressedBlock("", 0).substr(0, 12);
  TStreamRef eleven = StreamOf(header.substr(0, 11));
  EXPECT_FALSE(IsCompressedStream(eleven.Get()));
  TStreamRef twelve = StreamOf(header, 5);
  EXPECT_TRUE(IsCompressedStream(twelve.Get()));
  EXPECT_EQ(twelve.GetPos(), 5);
  std::string wrong = header;
  wrong[5] ^= 1;
  TStreamRef other = StreamOf(wrong);
  EXPECT_FALSE(IsCompressedStream(other.Get()));
  EXPECT_FALSE(IsCompressedStream(nullptr));
}

TEST(CompressedStream, InflatesToExactlyTheHeadersSize) {
  std::string content;
  for (int i = 0; i < 100000; ++i) content += static_cast<char>('a' + i % 23);
  TStreamRef stream = StreamOf(CompressedBlock(content, static_cast<uint32_t>(content.size())), 30);
  ASSERT_OK(DecompressStream(stream.Get()));
  EXPECT_EQ(stream.GetPos(), 0);
  ASSERT_EQ(stream.GetSize(), static_cast<int32_t>(content.size()));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(stream.GetBasePointer()), content.size()), content);

  // A read-only view is inflated by nobody: it cannot change its size.
  std::string block = CompressedBlock("abc", 3);
  TStreamRef view(TGenericStreamRO::Create(block.data(), static_cast<int32_t>(block.size())));
  EXPECT_EQ(DecompressError(view), "Assertion failure (Common/T_GenericStreamRO, line 220)");
}

TEST(CompressedStream, BadDataFailsWithItsLine) {
  TStreamRef headerOnly = StreamOf(CompressedBlock("", 0).substr(0, 12));
  EXPECT_EQ(DecompressError(headerOnly), "Assertion failure (Common/kelvracommon, line 519)");
  TStreamRef tooSmall = StreamOf(CompressedBlock("hello world", 5));
  EXPECT_EQ(DecompressError(tooSmall), "Assertion failure (Common/kelvracommon, line 519)");
  TStreamRef tooLarge = StreamOf(CompressedBlock("hello world", 12));
  EXPECT_EQ(DecompressError(tooLarge), "Assertion failure (Common/kelvracommon, line 519)");
  std::string block = CompressedBlock("abc", 3);
  block[0] = 0;
  TStreamRef firstTag = StreamOf(block);
  EXPECT_EQ(DecompressError(firstTag), "Assertion failure (Common/kelvracommon, line 504)");
  block = CompressedBlock("abc", 3);
  block[7] = 0;
  TStreamRef secondTag = StreamOf(block);
  EXPECT_EQ(DecompressError(secondTag), "Assertion failure (Common/kelvracommon, line 506)");
}

TEST(CompressedStream, SizesBeyondTheCallersLimitAreRefusedBeforeAllocating) {
  // 64 MiB of zeros deflate to about 64 KiB: a block a user can send cheaply.
  const std::string zeros(64u << 20, '\0');
  const std::string bomb = CompressedBlock(zeros, static_cast<uint32_t>(zeros.size()));
  ASSERT_LT(bomb.size(), 100000u);
  TStreamRef stream = StreamOf(bomb);
  const size_t capacity = TGenericStream::From(stream.Get())->Capacity();
  EXPECT_EQ(DecompressError(stream, 1 << 20),
            "Compressed data would inflate to 67108864 bytes, more than the 1048576 allowed");
  EXPECT_EQ(stream.GetSize(), static_cast<int32_t>(bomb.size())) << "the stream is unchanged";
  EXPECT_EQ(TGenericStream::From(stream.Get())->Capacity(), capacity) << "nothing was allocated for it";

  TStreamRef atTheLimit = StreamOf(CompressedBlock(std::string(1000, 'x'), 1000));
  ASSERT_OK(DecompressStream(atTheLimit.Get(), 1000));
  EXPECT_EQ(atTheLimit.GetSize(), 1000);
  TStreamRef negative = StreamOf(CompressedBlock("x", 1));
  EXPECT_EQ(DecompressError(negative, -5), "Compressed data would inflate to 1 bytes, more than the 0 allowed");
}

TEST(CompressedStream, ImpossibleSizesAreRefusedBeforeAllocating) {
  TStreamRef beyondInt = StreamOf(CompressedBlock("abc", 0x80000000u));
  EXPECT_EQ(DecompressError(beyondInt), "Assertion failure (Common/kelvracommon, line 519)");
  TStreamRef bomb = StreamOf(CompressedBlock("abc", 1u << 30));  // 1 GiB from a dozen bytes
  EXPECT_EQ(DecompressError(bomb), "Assertion failure (Common/kelvracommon, line 519)");
  EXPECT_LT(bomb.GetSize(), 100);
}

namespace {

constexpr const char* kBadData = "Assertion failure (Common/kelvracommon, line 519)";

// `content` as a zlib stream with a `windowBits` window (9 to 15); level 0
// writes stored blocks only.
std::string Deflated(const std::string& content, int windowBits = 15, int level = 6) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, content.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
  z.avail_in = static_cast<uInt>(content.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// A zlib stream behind the compressed-stream header that claims `size`.
std::string Tagged(const std::string& zlibStream, uint32_t size) {
  return CompressedBlock("", size).substr(0, 12) + zlibStream;
}

// Rewrites the first header byte of a tagged block to `cmf` and fixes the
// header's check bits.
std::string WithHeaderByte(std::string block, uint8_t cmf) {
  block[12] = static_cast<char>(cmf);
  const int flags = static_cast<uint8_t>(block[13]) & 0xE0;
  block[13] = static_cast<char>(flags + (31 - (cmf * 256 + flags) % 31) % 31);
  return block;
}

// What zlib's one-shot uncompress makes of a tagged block: the inflated
// bytes when it inflates to exactly the claimed size, else the agent's error.
std::string ZlibAnswer(const std::string& block) {
  uint32_t size = 0;
  for (int i = 0; i < 4; ++i) size |= uint32_t{static_cast<uint8_t>(block[8 + i])} << (8 * i);
  std::string out(size, '\0');
  uLongf produced = size;
  const int result = uncompress(reinterpret_cast<Bytef*>(out.data()), &produced,
                                reinterpret_cast<const Bytef*>(block.data() + 12), block.size() - 12);
  return result == Z_OK && produced == size ? out : kBadData;
}

// What DecompressStream makes of it: the inflated bytes, or its error.
std::string AgentAnswer(const std::string& block) {
  TStreamRef stream = StreamOf(block, 7);
  std::string error = DecompressError(stream);
  if (error != "<no error>") return error;
  EXPECT_EQ(stream.GetPos(), 0);
  return std::string(reinterpret_cast<const char*>(stream.GetBasePointer()), static_cast<size_t>(stream.GetSize()));
}

// Text-like content that needs several deflate blocks and matches reaching
// far back in the 32 KiB window.
std::string LongText() {
  std::string text;
  uint32_t seed = 12345;
  while (text.size() < 300000) {
    seed = seed * 1103515245u + 12345u;
    text += "line " + std::to_string(seed % 997) + ": the agent inflates " + std::to_string(seed >> 20) + "\n";
  }
  return text;
}

struct TInflateCase {
  const char* Name;
  std::string Block;
  bool Inflates;
};

}  // namespace

// Every block gets exactly zlib's answer: the same bytes, or the same error.
TEST(CompressedStream, InflatesAsZlibDoesOnWellFormedAndBrokenBlocks) {
  const std::string text = LongText();
  const std::string hello = "hello hello hello world";
  const std::string good = Tagged(Deflated(text), static_cast<uint32_t>(text.size()));
  std::string corrupt = good;
  corrupt[good.size() / 2] ^= 0x10;
  std::string wrongSum = good;
  wrongSum.back() ^= 1;
  // A match 1000 bytes back.
  const std::string far = std::string(1000, 'a') + LongText().substr(0, 1000) + LongText().substr(0, 1000);
  const std::string farBlock = Tagged(Deflated(far), static_cast<uint32_t>(far.size()));
  z_stream z{};
  ASSERT_EQ(deflateInit(&z, 6), Z_OK);
  ASSERT_EQ(deflateSetDictionary(&z, reinterpret_cast<const Bytef*>("hello"), 5), Z_OK);
  std::string withDictionary(64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(hello.data()));
  z.avail_in = static_cast<uInt>(hello.size());
  z.next_out = reinterpret_cast<Bytef*>(withDictionary.data());
  z.avail_out = 64;
  ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  withDictionary.resize(z.total_out);
  deflateEnd(&z);
  std::string rawDeflate = Deflated(hello, -15);

  const TInflateCase cases[] = {
      {"exactly the claimed size", good, true},
      {"one byte short of the claim", Tagged(Deflated(text), static_cast<uint32_t>(text.size() + 1)), false},
      {"one byte beyond the claim", Tagged(Deflated(text), static_cast<uint32_t>(text.size() - 1)), false},
      {"empty", Tagged(Deflated(""), 0), true},
      {"empty, claiming a byte", Tagged(Deflated(""), 1), false},
      {"a byte, claiming none", Tagged(Deflated("x"), 0), true},  // zlib's one-shot quirk: taken as empty
      {"two bytes, claiming none", Tagged(Deflated("xy"), 0), false},
      {"stored blocks", Tagged(Deflated(text, 15, 0), static_cast<uint32_t>(text.size())), true},
      {"corrupt", corrupt, false},
      {"wrong check sum", wrongSum, false},
      {"check sum cut short", good.substr(0, good.size() - 1), false},
      {"cut in half", good.substr(0, good.size() / 2), false},
      {"header only", good.substr(0, 14), false},
      {"one byte of header", good.substr(0, 13), false},
      {"garbage after the stream", good + "trailing garbage", true},
      {"a second stream after the stream", good + Deflated(hello), true},
      {"small declared window", Tagged(Deflated(hello, 9), static_cast<uint32_t>(hello.size())), true},
      // Inflated in one piece, a declared window smaller than 32 KiB holds nothing back.
      {"match beyond a small declared window", WithHeaderByte(farBlock, 0x08), true},
      {"window beyond 32 KiB", WithHeaderByte(good, 0x88), false},
      {"not deflate", WithHeaderByte(good, 0x77), false},
      {"header check bits wrong", [&] { std::string b = good; b[13] ^= 1; return b; }(), false},
      {"preset dictionary", Tagged(withDictionary, static_cast<uint32_t>(hello.size())), false},
      {"raw deflate without the zlib wrapper", Tagged(rawDeflate, static_cast<uint32_t>(hello.size())), false},
  };
  for (const TInflateCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string agent = AgentAnswer(c.Block);
    EXPECT_EQ(agent, ZlibAnswer(c.Block));
    EXPECT_EQ(agent != kBadData, c.Inflates);
  }
  EXPECT_EQ(AgentAnswer(good), text);
  EXPECT_EQ(AgentAnswer(farBlock), far);
}
