// SPDX-License-Identifier: Apache-2.0
// The escaping of free-text arguments: decoding any text either gives a
// text or refuses it with a failed status; encoding any text gives only
// the kept bytes, "+" and "%xx", and decodes back to the text (up to its
// first zero byte); a decoded text encodes and decodes back to itself.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "Common/CommandText.h"
#include "FuzzSupport.h"

namespace {

bool OnlyEscapedBytes(const std::string& text) {
  for (unsigned char c : text) {
    bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                std::string_view("!$'()*-.@_+%").find(static_cast<char>(c)) != std::string_view::npos;
    if (!kept) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string_view beforeZero = input.substr(0, input.find('\0'));

  const std::string encoded = EncodeArgument(input);
  FUZZ_CHECK(OnlyEscapedBytes(encoded));
  std::string back;
  FUZZ_CHECK(DecodeArgument(encoded, back).Ok() && back == beforeZero);

  // A malformed escape is refused, and leaves the result alone.
  std::string decoded = "untouched";
  if (!DecodeArgument(input, decoded).Ok()) {
    FUZZ_CHECK(decoded == "untouched");
    return 0;
  }
  FUZZ_CHECK(decoded.size() <= beforeZero.size());
  const std::string_view decodedBeforeZero = std::string_view(decoded).substr(0, decoded.find('\0'));
  FUZZ_CHECK(DecodeArgument(EncodeArgument(decoded), back).Ok() && back == decodedBeforeZero);
  return 0;
}
