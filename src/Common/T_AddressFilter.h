// SPDX-License-Identifier: Apache-2.0
// TAddressFilter: which IPv4 addresses may connect, from the text of
// [agent] allowed_users or [monitor] allowed_agents: a comma-separated list
// of addresses ("192.0.2.7") and blocks ("10.1.0.0/16"), spaces around
// entries ignored. An empty list allows every address. A value, constant once parsed; any thread reads it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TAddressFilter {
 public:
  // Allows every address.
  TAddressFilter() = default;

  // The filter of `text`, or none when an entry is no address or block; the
  // first such entry is then stored in `badEntry`. A text of spaces only is
  // the empty list.
  static std::optional<TAddressFilter> Parse(const std::string& text, std::string& badEntry);

  // `address` as the socket layer gives it (network byte order).
  bool Allows(uint32_t address) const;
  bool AllowsEveryone() const { return Blocks.empty(); }

 private:
  struct TBlock {
    uint32_t Network;  // host byte order, host bits cleared
    uint32_t Mask;     // host byte order
  };
  std::vector<TBlock> Blocks;
};
