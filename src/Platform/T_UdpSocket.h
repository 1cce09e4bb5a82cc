// SPDX-License-Identifier: Apache-2.0
// TUdpSocket: an IPv4 datagram socket, for the coordinator's broadcasts and
// the agent's discovery datagram. One thread receives; another may call
// Shutdown() to end a blocked Receive, and the owner closes the socket (by
// destroying it) only after the receiving thread has left it.
#pragma once

#include <cstdint>
#include <string>

#include "Platform/PosixCalls.h"
#include "Platform/T_Status.h"

class TUdpSocket {
 public:
  TUdpSocket() = default;
  TUdpSocket(const TUdpSocket&) = delete;
  TUdpSocket& operator=(const TUdpSocket&) = delete;

  // Creates the socket and binds it to all local addresses on `port`. A
  // failure's reason is the system's ("Address already in use").
  TStatus Bind(uint16_t port);

  // Waits for one datagram of at most `capacity` bytes. Answers its length
  // and the sender's dotted address; a longer datagram is dropped and the
  // wait goes on. -1 once the socket has been shut down or fails.
  int Receive(void* buffer, int capacity, std::string& sender);

  // Ends a Receive blocked on another thread; later ones answer -1 at once.
  void Shutdown();

  // Sends one datagram to 255.255.255.255:`port` from a socket of its own
  // with broadcast permission. A failure's reason is the system's.
  static TStatus SendBroadcast(uint16_t port, const void* data, int size);

  // Sends one datagram to `address`:`port`, from the local address
  // `fromAddress` when one is given (else from whichever the route picks).
  // A failure's reason is the system's, or "not an IPv4 address" when either
  // address is none.
  static TStatus SendTo(const std::string& address, uint16_t port, const void* data, int size,
                        const std::string& fromAddress = "");

  // The port the socket is bound to (after Bind with port 0), 0 if none.
  uint16_t LocalPort() const;

 private:
  TFileDescriptor Fd;
};
