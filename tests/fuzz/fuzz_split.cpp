// SPDX-License-Identifier: Apache-2.0
// The comma-text split: any text splits without harm into no more items
// than it has bytes (plus a final empty one), none longer than the text;
// and items written back as a comma text (each quoted, marks doubled) split
// into exactly those items again.
#include <string>
#include <vector>

#include "Common/CommandText.h"
#include "FuzzSupport.h"

namespace {

std::string QuotedCommaText(const std::vector<std::string>& items) {
  std::string text;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += ',';
    text += '"';
    for (char c : items[i]) {
      if (c == '"') text += '"';
      text += c;
    }
    text += '"';
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);

  const std::vector<std::string> items = SplitCommandItems(input);
  FUZZ_CHECK(items.size() <= input.size() + 1);
  for (const std::string& item : items) FUZZ_CHECK(item.size() <= input.size());

  // The input cut at its zero bytes into at most four items, as a command
  // holds: written back and split again, they are what was written.
  std::vector<std::string> written;
  std::string_view rest = input;
  while (!rest.empty() && written.size() < 4) {
    size_t zero = rest.find('\0');
    written.emplace_back(rest.substr(0, zero));
    rest = zero == std::string_view::npos ? std::string_view() : rest.substr(zero + 1);
  }
  FUZZ_CHECK(SplitCommandItems(QuotedCommaText(written)) == written);
  return 0;
}
