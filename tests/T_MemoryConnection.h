// SPDX-License-Identifier: Apache-2.0
// A connection held in memory for tests and fuzz targets: a socket pair, one
// end behind the agent's own connection type (as an accepted connection from
// 127.0.0.1), the other kept as the peer's.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "Common/T_Connection.h"
#include "Platform/T_TcpSocket.h"

struct TMemoryConnection {
  static constexpr uint32_t kLoopback = 0x0100007Fu;  // 127.0.0.1, network order

  std::unique_ptr<TConnection> Agent;
  TTcpSocket Peer;

  // The peer has sent `bytes` and closed its sending side: the agent's reads
  // see the bytes, then the end of the stream. The agent's answers wait in
  // the pair's buffer until the peer reads them, so `bytes` and the answers
  // must each fit in it (some 200 KB).
  explicit TMemoryConnection(std::string_view bytes) {
    TTcpSocket agentEnd;
    if (!TTcpSocket::Pair(agentEnd, Peer)) throw std::runtime_error("socketpair failed");
    if (!bytes.empty() && !TTcpSocket::Send(Peer.Get(), bytes.data(), bytes.size(), nullptr, 0, kInfiniteWait))
      throw std::runtime_error("socketpair send failed");
    (void)TTcpSocket::ShutdownSend(Peer.Get());
    Agent = std::make_unique<TConnection>(std::move(agentEnd), kLoopback, 40000);
  }
};
