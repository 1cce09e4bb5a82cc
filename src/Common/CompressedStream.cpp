// SPDX-License-Identifier: Apache-2.0
#include "Common/CompressedStream.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <string>

#include "Common/T_StreamRef.h"
#include "Common/kelvracommon.h"

namespace {

constexpr const char* kFramingUnit = "Common/kelvracommon";

uint32_t GetWord(const uint8_t* bytes) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= uint32_t{bytes[i]} << (8 * i);
  return value;
}

struct TFreeDecompressor {
  void operator()(libdeflate_decompressor* decompressor) const { libdeflate_free_decompressor(decompressor); }
};

// Inflates the zlib stream `source` into `target`; true only when it ends
// there having produced exactly `size` bytes and its check sum matches.
// Bytes after the stream's end are ignored. libdeflate inflates; zlib only
// an empty claim, where its one-shot inflation also takes a stream of one
// byte, as it always has. libdeflate takes a few codes that no compressor
// writes and zlib refuses (length symbols 286 and 287, distance symbols 30
// and 31, the unused bit pattern of a one-symbol code): such a hand-made
// block, with a check sum made to match, inflates instead of failing.
bool InflateExactly(const uint8_t* source, size_t sourceSize, uint8_t* target, size_t size) {
  if (size == 0) {
    uLongf produced = 0;
    return ::uncompress(target, &produced, source, static_cast<uLong>(sourceSize)) == Z_OK;
  }
  std::unique_ptr<libdeflate_decompressor, TFreeDecompressor> decompressor(libdeflate_alloc_decompressor());
  return decompressor && libdeflate_zlib_decompress(decompressor.get(), source, sourceSize, target, size,
                                                    nullptr) == LIBDEFLATE_SUCCESS;
}

}  // namespace

bool IsCompressedStream(IGenericStream* stream) {
  if (stream == nullptr || stream->GetSize() < kCompressedHeaderSize) return false;
  const uint8_t* memory = stream->GetBasePointer();
  return memory != nullptr && GetWord(memory) == kCompressedTag1 && GetWord(memory + 4) == kCompressedTag2;
}

TStatus DecompressStream(IGenericStream* stream, int32_t limit) {
  TStreamRef held = TStreamRef::AddRefTo(stream);
  static_cast<void>(held.SetPos(0));  // position 0 is never refused
  uint8_t word[4];
  if (held.Read(word, 4) != 4 || GetWord(word) != kCompressedTag1) return AssertionFailure(kFramingUnit, 504);
  if (held.Read(word, 4) != 4 || GetWord(word) != kCompressedTag2) return AssertionFailure(kFramingUnit, 506);
  if (held.Read(word, 4) != 4) return AssertionFailure(kFramingUnit, 519);
  const uint32_t inflatedSize = GetWord(word);
  const int32_t compressedSize = held.GetSize() - held.GetPos();
  // A size beyond what a stream can hold, or beyond what deflate can expand
  // this many bytes to (at most 1032 to 1), cannot be right: refuse it before
  // allocating anything.
  constexpr uint64_t kMaxDeflateRatio = 1032;
  if (inflatedSize > static_cast<uint32_t>(INT32_MAX) ||
      inflatedSize > uint64_t(compressedSize) * kMaxDeflateRatio + 1024)
    return AssertionFailure(kFramingUnit, 519);
  // A size the data could reach but the caller will not hold (a small block
  // of zeros inflates a thousandfold).
  if (inflatedSize > static_cast<uint32_t>(std::max(limit, 0)))
    return TStatus::Failure("", "Compressed data would inflate to " + std::to_string(inflatedSize) +
                                    " bytes, more than the " + std::to_string(std::max(limit, 0)) + " allowed");
  // The deflated bytes move aside (the stream's memory is about to become
  // the inflated data), then inflate straight into the stream.
  auto compressed = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(compressedSize));
  if (held.Read(compressed.get(), compressedSize) != compressedSize) return AssertionFailure(kFramingUnit, 519);
  if (TStatus sized = held.SetSize(static_cast<int32_t>(inflatedSize)); !sized) return sized;
  if (!InflateExactly(compressed.get(), static_cast<size_t>(compressedSize), held.GetBasePointer(), inflatedSize))
    return AssertionFailure(kFramingUnit, 519);
  static_cast<void>(held.SetPos(0));
  return {};
}
