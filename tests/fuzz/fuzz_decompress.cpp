// SPDX-License-Identifier: Apache-2.0
// Compressed streams: any block is told compressed or not without harm, and
// inflating one either gives exactly the size its header names or fails with
// the agent's error, never more memory than the header's bound allows. The
// input also travels the other way: deflated under a correct header, it
// inflates back to itself.
#include <zlib.h>

#include <cstring>
#include <vector>

#include "Common/T_GenericStream.h"
#include "Common/T_StreamRef.h"
#include "Common/CompressedStream.h"
#include "FuzzSupport.h"

namespace {

TStreamRef StreamOf(const uint8_t* bytes, size_t size) {
  TStreamRef stream(TGenericStream::Create());
  FUZZ_CHECK(stream.SetSize(static_cast<int32_t>(size)).Ok());
  if (size > 0) std::memcpy(stream.GetBasePointer(), bytes, size);
  FUZZ_CHECK(stream.SetPos(0).Ok());
  return stream;
}

void PutWord(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;

  // As received: only a block with both tags is compressed.
  {
    TStreamRef block = StreamOf(data, size);
    const bool tagged = size >= 12 && std::memcmp(data, "\x95\x34\x90\x94\xff\x43\x09\xa4", 8) == 0;
    FUZZ_CHECK(IsCompressedStream(block.Get()) == tagged);
    FUZZ_CHECK(block.GetPos() == 0);
    if (tagged) {
      uint32_t named = 0;
      for (int i = 0; i < 4; ++i) named |= uint32_t{data[8 + i]} << (8 * i);
      // Else refused: a wrong size, data that does not inflate, or no memory.
      if (DecompressStream(block.Get()).Ok()) {
        FUZZ_CHECK(static_cast<uint32_t>(block.GetSize()) == named);
        FUZZ_CHECK(block.GetPos() == 0);
      }
    }
  }

  // Deflated under a correct header: back to the input.
  std::vector<uint8_t> packed;
  PutWord(packed, kCompressedTag1);
  PutWord(packed, kCompressedTag2);
  PutWord(packed, static_cast<uint32_t>(size));
  uLongf bound = ::compressBound(static_cast<uLong>(size));
  packed.resize(12 + bound);
  FUZZ_CHECK(::compress(packed.data() + 12, &bound, data, static_cast<uLong>(size)) == Z_OK);
  packed.resize(12 + bound);
  TStreamRef block = StreamOf(packed.data(), packed.size());
  FUZZ_CHECK(IsCompressedStream(block.Get()));
  FUZZ_CHECK(DecompressStream(block.Get()).Ok());
  FUZZ_CHECK(block.GetSize() == static_cast<int32_t>(size));
  FUZZ_CHECK(size == 0 || std::memcmp(block.GetBasePointer(), data, size) == 0);
  return 0;
}
