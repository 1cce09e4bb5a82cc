// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_UdpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

TFileDescriptor NewDatagramSocket() { return TFileDescriptor(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)); }

// Sends from the socket `fd`; a failure is described by `context`.
TStatus SendFrom(int fd, uint32_t address, uint16_t port, const void* data, int size, const std::string& context) {
  sockaddr_in target {};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr.s_addr = address;
  ssize_t sent = RetryOnInterrupt([&] {
    return ::sendto(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&target),
                    sizeof target);
  });
  if (sent < 0) return TStatus::FromErrno(errno, context);
  return {};
}

}  // namespace

TStatus TUdpSocket::Bind(uint16_t port) {
  const std::string context = "cannot bind UDP port " + std::to_string(port);
  Fd = NewDatagramSocket();
  if (!Fd.Valid()) return TStatus::FromErrno(errno, context);
  sockaddr_in local {};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(Fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    const TStatus refused = TStatus::FromErrno(errno, context);
    Fd.Close();
    return refused;
  }
  return {};
}

int TUdpSocket::Receive(void* buffer, int capacity, std::string& sender) {
  for (;;) {
    sockaddr_in from {};
    socklen_t length = sizeof from;
    ssize_t got = RetryOnInterrupt([&] {
      return ::recvfrom(Fd.Get(), buffer, static_cast<size_t>(capacity), MSG_TRUNC,
                        reinterpret_cast<sockaddr*>(&from), &length);
    });
    if (got < 0) return -1;
    // After a shutdown the socket reads as ended: an empty result without a sender.
    if (got == 0 && length == 0) return -1;
    if (got > capacity) continue;  // too long for the buffer: dropped
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    sender = text;
    return static_cast<int>(got);
  }
}

void TUdpSocket::Shutdown() {
  // On an unconnected datagram socket this answers ENOTCONN, but it still
  // marks the socket shut and wakes every thread blocked in recvfrom.
  if (Fd.Valid()) ::shutdown(Fd.Get(), SHUT_RDWR);
}

uint16_t TUdpSocket::LocalPort() const {
  sockaddr_in local {};
  socklen_t length = sizeof local;
  if (!Fd.Valid() || ::getsockname(Fd.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

TStatus TUdpSocket::SendBroadcast(uint16_t port, const void* data, int size) {
  const std::string context = "cannot broadcast to UDP port " + std::to_string(port);
  TFileDescriptor fd = NewDatagramSocket();
  int on = 1;
  if (!fd.Valid() || ::setsockopt(fd.Get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
    return TStatus::FromErrno(errno, context);
  return SendFrom(fd.Get(), htonl(INADDR_BROADCAST), port, data, size, context);
}

TStatus TUdpSocket::SendTo(const std::string& address, uint16_t port, const void* data, int size,
                           const std::string& fromAddress) {
  const std::string context = "cannot send to " + address + ":" + std::to_string(port);
  in_addr target {};
  sockaddr_in local {};
  local.sin_family = AF_INET;
  if (::inet_pton(AF_INET, address.c_str(), &target) != 1 ||
      (!fromAddress.empty() && ::inet_pton(AF_INET, fromAddress.c_str(), &local.sin_addr) != 1))
    return TStatus::Failure(context, "not an IPv4 address");
  TFileDescriptor fd = NewDatagramSocket();
  if (!fd.Valid() ||
      (!fromAddress.empty() && ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0))
    return TStatus::FromErrno(errno, context);
  return SendFrom(fd.Get(), target.s_addr, port, data, size, context);
}
