// TTcpSocket: an owned IPv4 TCP socket descriptor and the raw socket calls
// the blocking socket layer (Common) is built on. Every descriptor is
// close-on-exec, every connection (made or accepted) has TCP_NODELAY, every
// send uses MSG_NOSIGNAL. Calls answer 0 on success, else the errno code, or
// kTimedOut when a time-out elapsed; EINTR is retried here and never
// reaches the caller. Addresses are IPv4 in network byte order. Each thread
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

class TTcpSocket {
 public:
  static constexpr int kTimedOut = -1;

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
  int Create();
  // SO_REUSEADDR, then bind to `address` (INADDR_ANY for all) and `port`
  // (0 for any free port).
  int Bind(uint32_t address, uint16_t port);
  // Listens with the system's maximum backlog (SOMAXCONN).
  int Listen();
  // The options a listening socket made elsewhere (by a library) gets here
  // before its bind: close-on-exec, and SO_REUSEADDR alone, so that a second
  // server on the same port is refused rather than sharing it.
  static int PrepareListening(int fd);
  // The local port the socket is bound to.
  int LocalPort(uint16_t& port) const;
  // Closes the descriptor now (nothing when not valid). The number may be
  // reused at once by the process: nobody may still use it.
  int Close();

  // Connects, waiting at most `timeoutMs` for the connection to be made or
  // refused (kTimedOut when the time runs out first); then sets TCP_NODELAY.
  // A Shutdown of `fd` from another thread ends the wait with an error. The
  // descriptor is in blocking mode again afterwards.
  static int Connect(int fd, uint32_t address, uint16_t port, int timeoutMs);
  // Waits for a connection on listening socket `fd`; the accepted socket is
  // close-on-exec and has TCP_NODELAY. Answers EINVAL once `fd` is shut down.
  static int Accept(int fd, TTcpSocket& accepted, uint32_t& address, uint16_t& port);
  // Receives up to `count` (> 0) bytes, waiting at most `timeoutMs` for the
  // first. On 0, `received` is the number of bytes, 0 when the peer has
  // closed or the socket is shut down. On kTimedOut nothing was received.
  static int Receive(int fd, void* buffer, size_t count, int timeoutMs, size_t& received);
  // Sends every byte of `first` and then of `second` (either may be empty),
  // waiting at most `timeoutMs` in all, with as few system calls as the
  // socket allows (one for a small frame). kTimedOut may leave part sent.
  static int Send(int fd, const void* first, size_t firstSize, const void* second, size_t secondSize,
                  int timeoutMs);
  // As Send, for `count` pieces sent one after another; EINVAL for more than
  // kMaxPieces.
  static int SendPieces(int fd, const TPiece* pieces, size_t count, int timeoutMs);
  // The poll, recv and sendmsg calls Receive and Send have made on the
  // calling thread so far.
  static uint64_t CallsOnThisThread();
  // shutdown(SHUT_RDWR): wakes a thread blocked in Accept, Receive, Send or
  // Connect on `fd`, and makes every later call on it end at once.
  static int Shutdown(int fd);
  // A connected pair of local stream sockets (socketpair), both
  // close-on-exec: a connection held in memory, for exercising the socket
  // layer without a network. Preconditions: neither is valid.
  static int Pair(TTcpSocket& first, TTcpSocket& second);
  // shutdown(SHUT_WR): the peer reads the end of the stream once it has
  // read what was sent.
  static int ShutdownSend(int fd);

  // The system's text for an errno code.
  static std::string ErrorText(int error);
  // Dotted IPv4 text <-> address. ParseAddress is false for anything else.
  static bool ParseAddress(const std::string& text, uint32_t& address);
  static std::string AddressText(uint32_t address);

 private:
  TFileDescriptor Descriptor;
};
