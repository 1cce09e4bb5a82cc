// SPDX-License-Identifier: Apache-2.0
// Frame reading from arbitrary bytes on the wire: the first input byte
// chooses, bit by bit, whether each block is read as a text or a data
// block; the rest is what the peer sends before it closes. Every block the
// bytes hold whole must be read exactly; the first one they do not (a
// negative or too large length, a cut header) must fail the read.
#include <cstring>
#include <string>

#include "Common/T_StreamRef.h"
#include "Common/WireFraming.h"
#include "FuzzSupport.h"

namespace {

constexpr int kReadTimeoutMs = 10000;  // never reached: the peer has closed
constexpr int kMaxBlocks = 64;

// The block at `offset` as the framing rule defines it; false when the bytes
// do not hold a whole one.
bool ExpectedBlock(std::string_view wire, size_t offset, std::string_view& content) {
  if (wire.size() - offset < 4) return false;
  uint32_t length = 0;
  for (int i = 0; i < 4; ++i) length |= uint32_t{static_cast<uint8_t>(wire[offset + i])} << (8 * i);
  if (static_cast<int32_t>(length) < 0 || length > wire.size() - offset - 4) return false;
  content = wire.substr(offset + 4, length);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 65536) return 0;
  const uint8_t choice = data[0];
  std::string_view wire(reinterpret_cast<const char*>(data) + 1, size - 1);
  TMemoryConnection connection(wire);
  size_t offset = 0;
  for (int block = 0; block < kMaxBlocks; ++block) {
    std::string_view expected;
    const bool whole = ExpectedBlock(wire, offset, expected);
    switch ((choice >> (block % 4 * 2)) & 3) {
      case 0:
      case 1: {
        std::string text = "left over";
        bool read = SocketReadString(*connection.Agent, text, kReadTimeoutMs).Ok();
        FUZZ_CHECK(read == whole);
        if (read) FUZZ_CHECK(text == expected);
        break;
      }
      case 2: {
        std::string content = "untouched";
        bool read = SocketReadStream(*connection.Agent, content, kReadTimeoutMs).Ok();
        FUZZ_CHECK(read == whole);
        FUZZ_CHECK(read ? content == expected : content == "untouched");
        break;
      }
      default: {
        IGenericStream* received = nullptr;
        bool read = SocketReadGenericStream(*connection.Agent, received, kReadTimeoutMs).Ok();
        FUZZ_CHECK(read == whole);
        FUZZ_CHECK(read == (received != nullptr));
        if (read) {
          TStreamRef stream(received);
          FUZZ_CHECK(stream.GetSize() == static_cast<int32_t>(expected.size()));
          FUZZ_CHECK(stream.GetPos() == stream.GetSize());
          FUZZ_CHECK(expected.empty() || std::memcmp(stream.GetBasePointer(), expected.data(), expected.size()) == 0);
        }
        break;
      }
    }
    if (!whole) break;
    offset += 4 + expected.size();
  }
  return 0;
}
