// SPDX-License-Identifier: Apache-2.0
// Reading many small frames that arrived back to back: a pipelined session's
// commands, or a peer's replies. Each iteration the peer sends a batch of
// Arg(0) text blocks in one write; the agent's side reads them one by one
// with SocketReadString. Reports frames/s and the socket system calls
// (poll, recv, sendmsg) the reading thread made per frame.
//
// BM_SmallFramesPair runs over an in-memory socket pair, BM_SmallFramesLoopback
// over a TCP connection on 127.0.0.1.
#include <benchmark/benchmark.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "Common/T_Connection.h"
#include "Common/WireFraming.h"
#include "Platform/T_TcpSocket.h"

namespace {

// A text block as the wire carries it.
std::string Frame(const std::string& text) {
  std::string frame(4, '\0');
  for (int i = 0; i < 4; ++i) frame[static_cast<size_t>(i)] = static_cast<char>(text.size() >> (8 * i));
  return frame + text;
}

// The agent's end as a connection of the connection layer, the peer's as a
// raw socket.
struct TEnds {
  std::unique_ptr<TConnection> Agent;
  TTcpSocket Peer;
};

TEnds PairConnection() {
  TEnds connection;
  TTcpSocket agentEnd;
  if (!TTcpSocket::Pair(agentEnd, connection.Peer)) throw std::runtime_error("socketpair");
  connection.Agent = std::make_unique<TConnection>(std::move(agentEnd), 0x0100007Fu, 40000);
  return connection;
}

TEnds LoopbackConnection() {
  TEnds connection;
  uint32_t loopback = 0;
  TTcpSocket::ParseAddress("127.0.0.1", loopback);
  TTcpSocket listener;
  uint16_t port = 0;
  if (!listener.Create() || !listener.Bind(loopback, 0) || !listener.Listen() || !listener.LocalPort(port))
    throw std::runtime_error("cannot listen");
  if (!connection.Peer.Create() || !TTcpSocket::Connect(connection.Peer.Get(), loopback, port, 10000))
    throw std::runtime_error("cannot connect");
  TTcpSocket accepted;
  uint32_t address = 0;
  uint16_t peerPort = 0;
  if (!TTcpSocket::Accept(listener.Get(), accepted, address, peerPort)) throw std::runtime_error("accept");
  connection.Agent = std::make_unique<TConnection>(std::move(accepted), address, peerPort);
  return connection;
}

void ReadBatches(benchmark::State& state, TEnds connection) {
  const auto frames = static_cast<int>(state.range(0));
  std::string batch;
  for (int i = 0; i < frames; ++i) batch += Frame("TASK 17 " + std::to_string(i) + " work.dll 0 0 1");
  uint64_t calls = 0;
  std::string text;
  for (auto _ : state) {
    if (!TTcpSocket::Send(connection.Peer.Get(), batch.data(), batch.size(), nullptr, 0, 10000))
      state.SkipWithError("send failed");
    const uint64_t before = TTcpSocket::CallsOnThisThread();
    for (int i = 0; i < frames; ++i)
      if (!SocketReadString(*connection.Agent, text, 10000)) state.SkipWithError("read failed");
    calls += TTcpSocket::CallsOnThisThread() - before;
  }
  const double read = static_cast<double>(state.iterations()) * frames;
  state.counters["frames/s"] = benchmark::Counter(read, benchmark::Counter::kIsRate);
  state.counters["calls/frame"] = static_cast<double>(calls) / read;
}

void BM_SmallFramesPair(benchmark::State& state) { ReadBatches(state, PairConnection()); }
BENCHMARK(BM_SmallFramesPair)->Arg(1)->Arg(64)->UseRealTime();

void BM_SmallFramesLoopback(benchmark::State& state) { ReadBatches(state, LoopbackConnection()); }
BENCHMARK(BM_SmallFramesLoopback)->Arg(1)->Arg(64)->UseRealTime();

}  // namespace
