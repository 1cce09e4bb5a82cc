// SPDX-License-Identifier: Apache-2.0
// TLinuxNameResolver: INameResolver on getaddrinfo (AF_INET). A dotted IPv4
// text resolves to itself without any lookup; only other names reach
// LookUpName, which a test fake overrides. Stateless; any thread.
#pragma once

#include "Platform/I_NameResolver.h"

class TLinuxNameResolver : public INameResolver {
 public:
  TStatus ResolveIPv4(const std::string& host, uint32_t& address) override;

  // The system's name lookup for a host that is not a dotted IPv4 text:
  // the first IPv4 address of `host`; Unresolved(host) when the name does
  // not resolve (whatever the resolver's own reason).
  virtual TStatus LookUpName(const std::string& host, uint32_t& address);

 protected:
  // The failure of a name that does not resolve (EHOSTUNREACH).
  static TStatus Unresolved(const std::string& host);
};
