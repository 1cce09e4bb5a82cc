// SPDX-License-Identifier: Apache-2.0
#include "Common/HostPort.h"

#include <charconv>

std::string THostPort::Text() const { return Host + ":" + std::to_string(Port); }

bool ParsePort(std::string_view text, uint16_t& port) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535)
    return false;
  port = static_cast<uint16_t>(value);
  return true;
}

TStatus ParseHostPort(const std::string& text, uint16_t defaultPort, THostPort& address) {
  const size_t colon = text.rfind(':');
  THostPort parsed{text.substr(0, colon), defaultPort};
  if (parsed.Host.empty()) return TStatus::Failure("", "has no host");
  if (colon != std::string::npos && !ParsePort(std::string_view(text).substr(colon + 1), parsed.Port))
    return TStatus::Failure("", "has a bad port (1 to 65535)");
  address = std::move(parsed);
  return {};
}
