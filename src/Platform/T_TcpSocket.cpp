// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_TcpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>

namespace {

using TClock = std::chrono::steady_clock;

// The socket calls of Receive and Send made by this thread.
thread_local uint64_t CallCount = 0;

// Waits until `fd` is ready for `events` (or has an error or hang-up, which
// the next call reports). EINTR restarts the wait with the time left.
int WaitReady(int fd, short events, const std::optional<TClock::time_point>& deadline) {
  for (;;) {
    int waitMs = -1;
    if (deadline) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - TClock::now()).count();
      waitMs = left > 0 ? static_cast<int>(left) : 0;
    }
    struct pollfd entry {fd, events, 0};
    ++CallCount;
    int ready = ::poll(&entry, 1, waitMs);
    if (ready > 0) return (entry.revents & POLLNVAL) != 0 ? EBADF : 0;
    if (ready == 0) {
      if (waitMs == 0) return ETIMEDOUT;
      continue;  // woke a little early
    }
    if (errno != EINTR) return errno;
  }
}

// A call's result: ok for 0, else errno's failure while doing `call`.
TStatus Outcome(int result, const char* call) { return result == 0 ? TStatus() : TStatus::FromErrno(errno, call); }

void SetNoDelay(int fd) {
  // Best effort: it cannot fail on a connected TCP socket.
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

struct sockaddr_in SocketAddress(uint32_t address, uint16_t port) {
  struct sockaddr_in result {};
  result.sin_family = AF_INET;
  result.sin_addr.s_addr = address;
  result.sin_port = htons(port);
  return result;
}

}  // namespace

TStatus TTcpSocket::Create() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return TStatus::FromErrno(errno, "socket");
  Descriptor = TFileDescriptor(fd);
  return {};
}

TStatus TTcpSocket::PrepareListening(int fd) {
  const int flags = ::fcntl(fd, F_GETFD);
  if (flags < 0 || ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) != 0) return TStatus::FromErrno(errno, "fcntl");
  int on = 1;
  return Outcome(::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on), "setsockopt");
}

TStatus TTcpSocket::Bind(uint32_t address, uint16_t port) {
  int on = 1;
  if (::setsockopt(Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return TStatus::FromErrno(errno, "bind");
  struct sockaddr_in local = SocketAddress(address, port);
  return Outcome(::bind(Get(), reinterpret_cast<const struct sockaddr*>(&local), sizeof local), "bind");
}

TStatus TTcpSocket::Listen() { return Outcome(::listen(Get(), SOMAXCONN), "listen"); }

TStatus TTcpSocket::LocalPort(uint16_t& port) const {
  struct sockaddr_in local {};
  socklen_t size = sizeof local;
  if (::getsockname(Get(), reinterpret_cast<struct sockaddr*>(&local), &size) != 0)
    return TStatus::FromErrno(errno, "getsockname");
  port = ntohs(local.sin_port);
  return {};
}

TStatus TTcpSocket::Close() { return Descriptor.Close() ? TStatus() : TStatus::FromErrno(errno, "closesocket"); }

TStatus TTcpSocket::Connect(int fd, uint32_t address, uint16_t port, int timeoutMs) {
  // A non-blocking connect waited for by poll: the wait has a deadline, and
  // a shutdown from another thread ends it (the kernel gives up the attempt
  // and reports the socket hung up).
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return TStatus::FromErrno(errno, "connect");
  struct sockaddr_in remote = SocketAddress(address, port);
  int error = 0;
  if (::connect(fd, reinterpret_cast<const struct sockaddr*>(&remote), sizeof remote) != 0) {
    error = errno;
    if (error == EINPROGRESS || error == EINTR) error = WaitReady(fd, POLLOUT, DeadlineOf(timeoutMs));
    socklen_t size = sizeof error;
    if (error == 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    // Whatever the wake-up said, only a peer address proves a connection.
    struct sockaddr_in peer {};
    size = sizeof peer;
    if (error == 0 && ::getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &size) != 0) error = errno;
  }
  if (::fcntl(fd, F_SETFL, flags) != 0 && error == 0) error = errno;
  if (error != 0) return TStatus::FromErrno(error, "connect");
  SetNoDelay(fd);
  return {};
}

TStatus TTcpSocket::Adopt(int fd, TTcpSocket& adopted, uint32_t& peerAddress, uint16_t& peerPort) {
  TFileDescriptor taken(fd);
  struct sockaddr_in remote {};
  socklen_t size = sizeof remote;
  if (::getpeername(fd, reinterpret_cast<struct sockaddr*>(&remote), &size) != 0) return TStatus::FromErrno(errno, "getpeername");
  if (remote.sin_family != AF_INET) return TStatus::FromErrno(EAFNOSUPPORT, "getpeername");
  if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return TStatus::FromErrno(errno, "fcntl");
  adopted.Descriptor = std::move(taken);
  peerAddress = remote.sin_addr.s_addr;
  peerPort = ntohs(remote.sin_port);
  return {};
}

TStatus TTcpSocket::Accept(int fd, TTcpSocket& accepted, uint32_t& address, uint16_t& port) {
  struct sockaddr_in remote {};
  socklen_t size = sizeof remote;
  int connection = RetryOnInterrupt(
      [&] { return ::accept4(fd, reinterpret_cast<struct sockaddr*>(&remote), &size, SOCK_CLOEXEC); });
  if (connection < 0) return TStatus::FromErrno(errno, "accept");
  accepted.Descriptor = TFileDescriptor(connection);
  SetNoDelay(connection);
  address = remote.sin_addr.s_addr;
  port = ntohs(remote.sin_port);
  return {};
}

TStatus TTcpSocket::Receive(int fd, void* buffer, size_t count, int timeoutMs, size_t& received) {
  received = 0;
  const auto deadline = DeadlineOf(timeoutMs);
  // A busy connection has bytes waiting: take them first, and wait only
  // when there are none.
  for (;;) {
    ssize_t got = RetryOnInterrupt([&] {
      ++CallCount;
      return ::recv(fd, buffer, count, MSG_DONTWAIT);
    });
    if (got >= 0) {
      received = static_cast<size_t>(got);
      return {};
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) return TStatus::FromErrno(errno, "recv");
    if (int waited = WaitReady(fd, POLLIN, deadline); waited != 0) return TStatus::FromErrno(waited, "recv");
  }
}

TStatus TTcpSocket::Send(int fd, const void* first, size_t firstSize, const void* second, size_t secondSize,
                     int timeoutMs) {
  const TPiece pieces[2] = {{first, firstSize}, {second, secondSize}};
  return SendPieces(fd, pieces, 2, timeoutMs);
}

TStatus TTcpSocket::SendPieces(int fd, const TPiece* given, size_t givenCount, int timeoutMs, size_t piecesPerFrame) {
  if (givenCount > kMaxPieces) return TStatus::FromErrno(EINVAL, "send");
  struct iovec pieces[kMaxPieces];
  size_t origin[kMaxPieces];  // each piece's index among those given
  size_t count = 0;
  for (size_t i = 0; i < givenCount; ++i) {
    if (given[i].Size == 0) continue;
    origin[count] = i;
    pieces[count++] = {const_cast<void*>(given[i].Data), given[i].Size};
  }
  auto deadline = DeadlineOf(timeoutMs);
  size_t framesSent = 0;
  size_t next = 0;
  while (next < count) {
    struct msghdr message {};
    message.msg_iov = pieces + next;
    message.msg_iovlen = count - next;
    ssize_t sent = RetryOnInterrupt([&] {
      ++CallCount;
      return ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    });
    if (sent < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) return TStatus::FromErrno(errno, "send");
      if (int waited = WaitReady(fd, POLLOUT, deadline); waited != 0) return TStatus::FromErrno(waited, "send");
      continue;
    }
    // Step over what went out: whole pieces, then part of the next one.
    size_t left = static_cast<size_t>(sent);
    while (next < count && left >= pieces[next].iov_len) left -= pieces[next++].iov_len;
    if (next < count) {
      pieces[next].iov_base = static_cast<char*>(pieces[next].iov_base) + left;
      pieces[next].iov_len -= left;
    }
    // A frame is whole once the first piece left unsent lies beyond it.
    if (piecesPerFrame > 0) {
      const size_t whole = (next < count ? origin[next] : givenCount) / piecesPerFrame;
      if (whole > framesSent) {
        framesSent = whole;
        deadline = DeadlineOf(timeoutMs);
      }
    }
  }
  return {};
}

uint64_t TTcpSocket::CallsOnThisThread() { return CallCount; }

TStatus TTcpSocket::Shutdown(int fd) { return Outcome(::shutdown(fd, SHUT_RDWR), "shutdown"); }

TStatus TTcpSocket::ShutdownSend(int fd) { return Outcome(::shutdown(fd, SHUT_WR), "shutdown"); }

TStatus TTcpSocket::Pair(TTcpSocket& first, TTcpSocket& second) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return TStatus::FromErrno(errno, "socketpair");
  first.Descriptor = TFileDescriptor(fds[0]);
  second.Descriptor = TFileDescriptor(fds[1]);
  return {};
}

bool TTcpSocket::TimedOut(const TStatus& status) { return status.Code() == ETIMEDOUT; }

bool TTcpSocket::ParseAddress(const std::string& text, uint32_t& address) {
  struct in_addr parsed {};
  if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  address = parsed.s_addr;
  return true;
}

std::string TTcpSocket::AddressText(uint32_t address) {
  struct in_addr value {};
  value.s_addr = address;
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &value, text, sizeof text);
  return text;
}
