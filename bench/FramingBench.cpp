// SPDX-License-Identifier: Apache-2.0
// Framed throughput over loopback and inflation speed.
//
// BM_Framed* send a data block with SocketWriteStringAndStream on one thread
// and read it into a new stream with SocketReadGenericStream on another;
// BM_RawSendRecv* move the same bytes with plain send/recv, the ceiling the
// framing is compared against. BM_Inflate reports MB/s of inflated output;
// BM_CopyOutput copies the same output size with memcpy for comparison.
// BM_WriteSmallPieces writes an output the way a task often does, in
// 100-byte pieces; BM_ReadFramedBlockFromPair reads a framed block from a
// socket pair into a new stream.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <zlib.h>

#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Common/CompressedStream.h"
#include "Common/T_Connection.h"
#include "Common/T_GenericStream.h"
#include "Common/T_StreamRef.h"
#include "Common/WireFraming.h"
#include "Platform/T_LinuxNameResolver.h"
#include "Platform/T_TcpSocket.h"

namespace {

// A connected pair on 127.0.0.1: the agent's client connection and the
// accepted server side, both as connections of the socket layer.
struct TLoopbackPair {
  TLinuxNameResolver Names;
  TConnection Client;
  std::unique_ptr<TConnection> Server;

  TLoopbackPair() {
    TTcpSocket listener;
    uint32_t loopback = 0;
    TTcpSocket::ParseAddress("127.0.0.1", loopback);
    uint16_t port = 0;
    if (!listener.Create() || !listener.Bind(loopback, 0) || !listener.Listen() || !listener.LocalPort(port))
      throw std::runtime_error("cannot listen");
    if (!Client.Open(Names, "127.0.0.1", port)) throw std::runtime_error("cannot connect");
    TTcpSocket accepted;
    uint32_t address = 0;
    uint16_t peerPort = 0;
    if (!TTcpSocket::Accept(listener.Get(), accepted, address, peerPort)) throw std::runtime_error("accept");
    Server = std::make_unique<TConnection>(std::move(accepted), address, peerPort);
  }
};

TStreamRef Block(int64_t size) {
  TStreamRef stream(TGenericStream::Create());
  if (!stream.SetSize(static_cast<int32_t>(size)).Ok()) throw std::runtime_error("no memory for the block");
  std::memset(stream.GetBasePointer(), 0x5A, static_cast<size_t>(size));
  return stream;
}

void BM_FramedBlock(benchmark::State& state) {
  TLoopbackPair pair;
  TStreamRef block = Block(state.range(0));
  for (auto _ : state) {
    std::thread writer([&] {
      if (!SocketWriteStringAndStream(pair.Client, "TASK_DONE 1 0.0 0.0 1", block.Get(), 10000))
        throw std::runtime_error("write failed");
    });
    std::string text;
    IGenericStream* received = nullptr;
    if (!SocketReadString(*pair.Server, text, 10000) || !SocketReadGenericStream(*pair.Server, received, 10000))
      state.SkipWithError("read failed");
    TStreamRef held(received);
    writer.join();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FramedBlock)->Arg(64 << 10)->Arg(1 << 20)->UseRealTime();

void BM_RawSendRecv(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  std::vector<char> out(size, 0x5A), in(size);
  // A plain loopback connection of its own: send on one end, recv on the other.
  TTcpSocket listener;
  uint32_t loopback = 0;
  TTcpSocket::ParseAddress("127.0.0.1", loopback);
  uint16_t port = 0;
  TTcpSocket sender;
  TTcpSocket receiver;
  uint32_t address = 0;
  uint16_t peerPort = 0;
  if (!listener.Create() || !listener.Bind(loopback, 0) || !listener.Listen() || !listener.LocalPort(port) ||
      !sender.Create() || !TTcpSocket::Connect(sender.Get(), loopback, port, 10000) ||
      !TTcpSocket::Accept(listener.Get(), receiver, address, peerPort))
    throw std::runtime_error("cannot connect");
  for (auto _ : state) {
    std::thread writer([&] { ::send(sender.Get(), out.data(), size, MSG_NOSIGNAL); });
    size_t got = 0;
    while (got < size) {
      ssize_t n = ::recv(receiver.Get(), in.data() + got, size - got, 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    writer.join();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RawSendRecv)->Arg(64 << 10)->Arg(1 << 20)->UseRealTime();

// A compressible block of `size` bytes (text-like) behind the header.
std::string CompressedBlock(size_t size) {
  std::string content(size, '\0');
  for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>("kelvra agent data "[i % 18] + (i / 4096) % 3);
  uLongf length = compressBound(size);
  std::string deflated(length, '\0');
  compress(reinterpret_cast<Bytef*>(deflated.data()), &length, reinterpret_cast<const Bytef*>(content.data()), size);
  deflated.resize(length);
  std::string block = "\x95\x34\x90\x94\xFF\x43\x09\xA4";
  for (int i = 0; i < 4; ++i) block.push_back(static_cast<char>(size >> (8 * i)));
  return block + deflated;
}

void BM_Inflate(benchmark::State& state) {
  const std::string block = CompressedBlock(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    TStreamRef stream(TGenericStream::Create());
    if (!stream.Write(block.data(), static_cast<int32_t>(block.size())).Ok()) state.SkipWithError("write failed");
    if (!DecompressStream(stream.Get()).Ok()) state.SkipWithError("the block did not inflate");
    benchmark::DoNotOptimize(stream.GetBasePointer());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Inflate)->Arg(1 << 20)->Arg(16 << 20);

void BM_CopyOutput(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  std::vector<char> from(size, 1), to(size);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), size);
    benchmark::DoNotOptimize(to.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CopyOutput)->Arg(1 << 20)->Arg(16 << 20);

void BM_WriteSmallPieces(benchmark::State& state) {
  const auto size = static_cast<int32_t>(state.range(0));
  constexpr int32_t kPiece = 100;
  const std::vector<char> piece(kPiece, 0x5A);
  for (auto _ : state) {
    TStreamRef stream(TGenericStream::Create());
    for (int32_t written = 0; written < size; written += kPiece)
      if (!stream.Write(piece.data(), kPiece).Ok()) state.SkipWithError("write failed");
    benchmark::DoNotOptimize(stream.GetBasePointer());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WriteSmallPieces)->Arg(1 << 20)->Arg(16 << 20);

void BM_ReadFramedBlockFromPair(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  std::string frame(4 + size, '\x5A');
  for (int i = 0; i < 4; ++i) frame[static_cast<size_t>(i)] = static_cast<char>(size >> (8 * i));
  TTcpSocket agentEnd, peer;
  if (!TTcpSocket::Pair(agentEnd, peer)) throw std::runtime_error("socketpair failed");
  TConnection agent(std::move(agentEnd), 0x0100007Fu, 40000);
  for (auto _ : state) {
    std::thread writer([&] { (void)TTcpSocket::Send(peer.Get(), frame.data(), frame.size(), nullptr, 0, 10000); });
    IGenericStream* received = nullptr;
    if (!SocketReadGenericStream(agent, received, 10000)) state.SkipWithError("read failed");
    TStreamRef held(received);
    writer.join();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReadFramedBlockFromPair)->Arg(64 << 10)->Arg(1 << 20)->UseRealTime();

}  // namespace
