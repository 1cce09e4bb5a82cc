// Shared by the fuzz targets: a connection held in memory (a socket pair
// behind the agent's own connection type) and a check that ends the run
// with a message when a property does not hold.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "Common/T_CustomWinSocket.h"
#include "Platform/T_TcpSocket.h"

// A property that must hold for every input: a failure is a finding.
#define FUZZ_CHECK(condition)                                                          \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (false)

// The agent's side of a connection whose peer has sent `bytes` and then
// closed its sending side: reads see the bytes, then the end of the stream.
// The agent's answers wait unread in the pair's buffer, so `bytes` and the
// answers must each fit in it (inputs are kept small).
struct TMemoryConnection {
  static constexpr uint32_t kLoopback = 0x0100007Fu;  // 127.0.0.1, network order

  std::unique_ptr<TCustomWinSocket> Agent;
  TTcpSocket Peer;

  explicit TMemoryConnection(std::string_view bytes) {
    TTcpSocket agentEnd;
    if (TTcpSocket::Pair(agentEnd, Peer) != 0) throw std::runtime_error("socketpair failed");
    if (!bytes.empty() &&
        TTcpSocket::Send(Peer.Get(), bytes.data(), bytes.size(), nullptr, 0, TTcpSocket::kNoTimeLimit) != 0)
      throw std::runtime_error("socketpair send failed");
    TTcpSocket::ShutdownSend(Peer.Get());
    Agent = std::make_unique<TCustomWinSocket>(std::move(agentEnd), kLoopback, 40000);
  }
};
