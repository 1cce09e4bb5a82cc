#include "Common/T_ClientSocket.h"

#include "Common/E_SocketError.h"

TClientSocket::TClientSocket(INameResolver& resolver, TClientType type)
    : Resolver(resolver), Connection(type == ctBlocking) {}

void TClientSocket::SetHost(const std::string& host) {
  if (Active()) throw ESocketError(kCantChangeWhileActive);
  HostName = host;
}

void TClientSocket::SetPort(uint16_t port) {
  if (Active()) throw ESocketError(kCantChangeWhileActive);
  PortNumber = port;
}

void TClientSocket::SetLocalAddress(const std::string& address) {
  if (Active()) throw ESocketError(kCantChangeWhileActive);
  LocalAddress = address;
}

void TClientSocket::Open() { Connection.Open(Resolver, HostName, PortNumber, LocalAddress); }

void TClientSocket::Close() { Connection.Close(); }
