// SPDX-License-Identifier: Apache-2.0
// INameResolver: turns the host of a client connection into an IPv4
// address. Any thread may call it; a lookup may block for as long as the
// system's resolver takes. Tests replace it (they never look up a real host
// name) by overriding TLinuxNameResolver::LookUpName.
#pragma once

#include <cstdint>
#include <string>

#include "Platform/T_Status.h"

class INameResolver {
 public:
  virtual ~INameResolver() = default;

  // Resolves `host` (a dotted IPv4 text or a host name) to the first IPv4
  // address it has, in network byte order. A name that does not resolve
  // fails with EHOSTUNREACH ("cannot resolve \"host\": No route to host").
  virtual TStatus ResolveIPv4(const std::string& host, uint32_t& address) = 0;
};
