// SPDX-License-Identifier: Apache-2.0
#include "User/CompressedBlock.h"

#include <libdeflate.h>

#include <cstdint>
#include <memory>
#include <stdexcept>

#include "Common/CompressedStream.h"

namespace {

// libdeflate's level 6 makes what zlib's default level makes, several times
// faster.
constexpr int kLevel = 6;

struct TFreeCompressor {
  void operator()(libdeflate_compressor* compressor) const { libdeflate_free_compressor(compressor); }
};

void PutWord(std::string& block, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) block[at + i] = static_cast<char>(value >> (8 * i));
}

}  // namespace

std::string CompressBlock(std::string_view content) {
  if (content.size() > static_cast<size_t>(INT32_MAX)) throw std::length_error("content too large to compress");
  std::unique_ptr<libdeflate_compressor, TFreeCompressor> compressor(libdeflate_alloc_compressor(kLevel));
  if (!compressor) throw std::bad_alloc();
  const size_t bound = libdeflate_zlib_compress_bound(compressor.get(), content.size());
  std::string block(kCompressedHeaderSize + bound, '\0');
  PutWord(block, 0, kCompressedTag1);
  PutWord(block, 4, kCompressedTag2);
  PutWord(block, 8, static_cast<uint32_t>(content.size()));
  const size_t deflated = libdeflate_zlib_compress(compressor.get(), content.data(), content.size(),
                                                   block.data() + kCompressedHeaderSize, bound);
  if (deflated == 0) throw std::runtime_error("compression failed");
  block.resize(kCompressedHeaderSize + deflated);
  return block;
}
