// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_ControlChannel.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>

TStatus TControlChannel::Pair(TControlChannel& first, TControlChannel& second) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return TStatus::FromErrno(errno, "socketpair");
  // A task list of a full queue fits in one message.
  const int size = 4 << 20;
  for (int end : ends) {
    ::setsockopt(end, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(end, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  first = TControlChannel(ends[0]);
  second = TControlChannel(ends[1]);
  return {};
}

TStatus TControlChannel::Send(std::string_view message) {
  const ssize_t sent = RetryOnInterrupt(
      [&] { return ::send(Socket.Get(), message.data(), std::min(message.size(), kMaxMessage), MSG_NOSIGNAL); });
  if (sent < 0) return TStatus::FromErrno(errno == EPIPE || errno == ECONNRESET ? ENOTCONN : errno, "send");
  return {};
}

TStatus TControlChannel::Receive(std::string& message, int timeoutMs) {
  struct pollfd wait {Socket.Get(), POLLIN, 0};
  const int ready = RetryOnInterrupt([&] { return ::poll(&wait, 1, timeoutMs); });
  if (ready < 0) return TStatus::FromErrno(errno, "poll");
  if (ready == 0) return TStatus::FromErrno(ETIMEDOUT, "recv");
  // The size of the waiting message, then the message itself.
  const ssize_t size = RetryOnInterrupt([&] { return ::recv(Socket.Get(), nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT); });
  if (size < 0) return TStatus::FromErrno(errno == EAGAIN ? ETIMEDOUT : errno, "recv");
  message.resize(std::min(static_cast<size_t>(size), kMaxMessage));
  const ssize_t received = RetryOnInterrupt([&] { return ::recv(Socket.Get(), message.data(), message.size(), MSG_DONTWAIT); });
  if (received < 0) return TStatus::FromErrno(errno == EAGAIN ? ETIMEDOUT : errno, "recv");
  // A zero-length read is the other side's end: nothing here sends empty
  // messages.
  if (received == 0) return TStatus::FromErrno(ENOTCONN, "recv");
  message.resize(static_cast<size_t>(received));
  return {};
}

void TControlChannel::Shutdown() {
  if (Socket.Valid()) ::shutdown(Socket.Get(), SHUT_RDWR);
}
