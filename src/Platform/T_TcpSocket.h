// SPDX-License-Identifier: Apache-2.0
// TTcpSocket: an owned IPv4 TCP socket descriptor and the raw socket calls
// the blocking socket layer (Common) is built on. Every descriptor is
// close-on-exec, every connection (made or accepted) has TCP_NODELAY, every
// send uses MSG_NOSIGNAL. A failed call's status has the errno code and the
// call's name as its context ("bind: Address already in use"); a time-out
// that elapsed fails with ETIMEDOUT (TimedOut). EINTR is retried here and
// never reaches the caller. Addresses are IPv4 in network byte order. Each thread
// counts the system calls its Receive and Send make, so that the calls a
// frame costs can be measured.
//
// Threads: the owner creates, binds, listens and closes. The static calls
// take a borrowed descriptor number, so that one thread can block in
// Receive, Send, Connect or Accept while another shuts the socket down
// (which wakes it); the owner closes the number only after that thread has
// left it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Platform/PosixCalls.h"
#include "Platform/TimeLimit.h"
#include "Platform/T_Status.h"

class TTcpSocket {
 public:
  // One piece of a gathered send.
  struct TPiece {
    const void* Data;
    size_t Size;
  };
  // Most pieces one gathered send takes (several reports' frames together).
  static constexpr size_t kMaxPieces = 64;

  TTcpSocket() = default;
  TTcpSocket(TTcpSocket&&) noexcept = default;
  TTcpSocket& operator=(TTcpSocket&&) noexcept = default;

  bool Valid() const { return Descriptor.Valid(); }
  int Get() const { return Descriptor.Get(); }

  // A new TCP socket, close-on-exec. Precondition: !Valid().
  TStatus Create();
  // Takes over `fd`, a connected TCP socket handed over by another process,
  // making it close-on-exec; the peer's address and port come back.
  static TStatus Adopt(int fd, TTcpSocket& adopted, uint32_t& peerAddress, uint16_t& peerPort);
  // SO_REUSEADDR, then bind to `address` (INADDR_ANY for all) and `port`
  // (0 for any free port).
  TStatus Bind(uint32_t address, uint16_t port);
  // Listens with the system's maximum backlog (SOMAXCONN).
  TStatus Listen();
  // The options a listening socket made elsewhere (by a library) gets here
  // before its bind: close-on-exec, and SO_REUSEADDR alone, so that a second
  // server on the same port is refused rather than sharing it.
  static TStatus PrepareListening(int fd);
  // The local port the socket is bound to.
  TStatus LocalPort(uint16_t& port) const;
  // Gives the descriptor up to the caller, who closes it; !Valid() after.
  int Release() { return Descriptor.Release(); }
  // Closes the descriptor now (nothing when not valid). The number may be
  // reused at once by the process: nobody may still use it.
  TStatus Close();

  // Connects, waiting at most `timeoutMs` for the connection to be made or
  // refused (ETIMEDOUT when the time runs out first); then sets TCP_NODELAY.
  // A Shutdown of `fd` from another thread ends the wait with an error. The
  // descriptor is in blocking mode again afterwards.
  static TStatus Connect(int fd, uint32_t address, uint16_t port, int timeoutMs);
  // Waits for a connection on listening socket `fd`; the accepted socket is
  // close-on-exec and has TCP_NODELAY. Fails with EINVAL once `fd` is shut
  // down.
  static TStatus Accept(int fd, TTcpSocket& accepted, uint32_t& address, uint16_t& port);
  // Receives up to `count` (> 0) bytes, waiting at most `timeoutMs` for the
  // first. When ok, `received` is the number of bytes, 0 when the peer has
  // closed or the socket is shut down. On a time-out nothing was received.
  static TStatus Receive(int fd, void* buffer, size_t count, int timeoutMs, size_t& received);
  // Sends every byte of `first` and then of `second` (either may be empty),
  // waiting at most `timeoutMs` in all, with as few system calls as the
  // socket allows (one for a small frame). A time-out may leave part sent.
  static TStatus Send(int fd, const void* first, size_t firstSize, const void* second, size_t secondSize,
                      int timeoutMs);
  // As Send, for `count` pieces sent one after another; EINVAL for more than
  // kMaxPieces. With `piecesPerFrame` > 0 the pieces make frames of that many
  // each, and `timeoutMs` is each frame's own: the wait starts again whenever
  // a frame has gone out whole.
  static TStatus SendPieces(int fd, const TPiece* pieces, size_t count, int timeoutMs, size_t piecesPerFrame = 0);
  // The poll, recv and sendmsg calls Receive and Send have made on the
  // calling thread so far.
  static uint64_t CallsOnThisThread();
  // shutdown(SHUT_RDWR): wakes a thread blocked in Accept, Receive, Send or
  // Connect on `fd`, and makes every later call on it end at once.
  static TStatus Shutdown(int fd);
  // A connected pair of local stream sockets (socketpair), both
  // close-on-exec: a connection held in memory, for exercising the socket
  // layer without a network. Preconditions: neither is valid.
  static TStatus Pair(TTcpSocket& first, TTcpSocket& second);
  // shutdown(SHUT_WR): the peer reads the end of the stream once it has
  // read what was sent.
  static TStatus ShutdownSend(int fd);

  // Whether `status` is a time-out of one of these calls.
  static bool TimedOut(const TStatus& status);
  // Dotted IPv4 text <-> address. ParseAddress is false for anything else.
  static bool ParseAddress(const std::string& text, uint32_t& address);
  static std::string AddressText(uint32_t address);

 private:
  TFileDescriptor Descriptor;
};
