// SPDX-License-Identifier: Apache-2.0
// HOST[:PORT] texts, as the tools take the addresses of agents and
// monitors on their command lines. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Platform/T_Status.h"

struct THostPort {
  std::string Host;  // dotted IPv4 address or host name, never empty
  uint16_t Port = 0;
  std::string Text() const;  // "HOST:PORT"
};

// A decimal port from 1 to 65535, nothing else around it.
bool ParsePort(std::string_view text, uint16_t& port);

// "HOST" (port `defaultPort`) or "HOST:PORT". Fails when the host is empty
// or the port is not one; the reason then says which ("has no host", "has a
// bad port (1 to 65535)"), for the caller to put after the text it quotes.
TStatus ParseHostPort(const std::string& text, uint16_t defaultPort, THostPort& address);
