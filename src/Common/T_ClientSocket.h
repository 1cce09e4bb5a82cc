// TClientSocket: a client connection of the blocking socket layer: host and
// port, and the connection Open makes (the peer to a user's data port, the
// status connection to the coordinator). Owned and used by one thread; its
// Socket() may be closed from any thread. Non-copyable; destruction closes.
#pragma once

#include <cstdint>
#include <string>

#include "Common/T_CustomWinSocket.h"
#include "Platform/I_NameResolver.h"

// A blocking client (the agent's only kind); a non-blocking one connects the
// same way but its connection is refused by stream views.
enum TClientType { ctNonBlocking, ctBlocking };

class TClientSocket {
 public:
  // `resolver` turns host names into addresses at Open; borrowed, it must
  // outlive the client.
  explicit TClientSocket(INameResolver& resolver, TClientType type = ctBlocking);
  TClientSocket(const TClientSocket&) = delete;
  TClientSocket& operator=(const TClientSocket&) = delete;

  // Setters raise "Can't change value while socket is active" while open.
  void SetHost(const std::string& host);
  void SetPort(uint16_t port);
  // The local address the connection leaves from (a dotted IPv4 text);
  // empty: the one the system chooses.
  void SetLocalAddress(const std::string& address);
  const std::string& Host() const { return HostName; }
  uint16_t Port() const { return PortNumber; }

  // Connects to Host():Port(); raises as TCustomWinSocket::Open. A failed
  // open leaves the client closed.
  void Open();
  // Closes the connection; nothing when closed. Any thread.
  void Close();
  bool Active() const { return Connection.Connected(); }

  // The connection, for stream views and the framing.
  TCustomWinSocket& Socket() { return Connection; }

 private:
  INameResolver& Resolver;  // borrowed
  std::string HostName;
  std::string LocalAddress;
  uint16_t PortNumber = 0;
  TCustomWinSocket Connection;
};
