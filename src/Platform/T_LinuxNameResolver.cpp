// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_LinuxNameResolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

TStatus TLinuxNameResolver::ResolveIPv4(const std::string& host, uint32_t& address) {
  struct in_addr parsed {};
  if (::inet_pton(AF_INET, host.c_str(), &parsed) == 1) {
    address = parsed.s_addr;
    return {};
  }
  return LookUpName(host, address);
}

TStatus TLinuxNameResolver::LookUpName(const std::string& host, uint32_t& address) {
  struct addrinfo hints {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
    return Unresolved(host);
  struct sockaddr_in first {};
  std::memcpy(&first, found->ai_addr, sizeof first);
  ::freeaddrinfo(found);
  address = first.sin_addr.s_addr;
  return {};
}

TStatus TLinuxNameResolver::Unresolved(const std::string& host) {
  return TStatus::FromErrno(EHOSTUNREACH, "cannot resolve \"" + host + "\"");
}
