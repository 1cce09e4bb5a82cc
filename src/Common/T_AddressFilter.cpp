// SPDX-License-Identifier: Apache-2.0
#include "Common/T_AddressFilter.h"

#include <charconv>
#include <cstring>

#include "Platform/T_TcpSocket.h"

namespace {

// The address as a number whose most significant byte is the first one of
// the dotted text.
uint32_t HostOrder(uint32_t networkOrder) {
  unsigned char bytes[4];
  std::memcpy(bytes, &networkOrder, sizeof bytes);
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | uint32_t{bytes[3]};
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A prefix length of one or two decimal digits, 0 to 32.
std::optional<int> ParsePrefix(const std::string& text) {
  if (text.empty() || text.size() > 2 || text[0] < '0' || text[0] > '9') return std::nullopt;
  int value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > 32) return std::nullopt;
  return value;
}

}  // namespace

std::optional<TAddressFilter> TAddressFilter::Parse(const std::string& text, std::string& badEntry) {
  TAddressFilter filter;
  if (Trimmed(text).empty()) return filter;
  for (size_t start = 0;;) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    const std::string entry = Trimmed(text.substr(start, end - start));
    const size_t slash = entry.find('/');
    int prefix = 32;
    uint32_t address = 0;
    bool valid = TTcpSocket::ParseAddress(entry.substr(0, slash), address);
    if (valid && slash != std::string::npos) {
      std::optional<int> parsed = ParsePrefix(entry.substr(slash + 1));
      valid = parsed.has_value();
      prefix = parsed.value_or(0);
    }
    if (!valid) {
      badEntry = entry;
      return std::nullopt;
    }
    const uint32_t mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
    filter.Blocks.push_back({HostOrder(address) & mask, mask});
    if (end == text.size()) break;
    start = end + 1;
  }
  return filter;
}

bool TAddressFilter::Allows(uint32_t address) const {
  if (Blocks.empty()) return true;
  const uint32_t host = HostOrder(address);
  for (const TBlock& block : Blocks)
    if ((host & block.Mask) == block.Network) return true;
  return false;
}
