// SPDX-License-Identifier: Apache-2.0
#include "Monitor/T_StatusServer.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstring>
#include <string>
#include <unordered_map>

#include "Common/T_DebugLog.h"
#include "Common/T_Listener.h"
#include "Monitor/T_ReportReader.h"
#include "Platform/T_TcpSocket.h"
#include "Platform/T_Thread.h"

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// How often silent connections are looked for: a connection is closed at
// most this late after its lost_after ran out.
constexpr auto kSweepPeriod = std::chrono::milliseconds(250);
// Pause after an accept failure (no free descriptor, no memory), so that
// the loop does not spin.
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);
// Bytes read from one connection before the others get their turn.
constexpr size_t kReadTurnBytes = 256 * 1024;

int64_t SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// An address as TAddressFilter takes it: network byte order.
uint32_t NetworkOrder(const asio::ip::address_v4& address) {
  const asio::ip::address_v4::bytes_type bytes = address.to_bytes();
  uint32_t value = 0;
  std::memcpy(&value, bytes.data(), sizeof value);
  return value;
}

// One agent's status connection, as the loop keeps it.
struct TStatusConnection {
  TStatusConnection(tcp::socket socket, std::string address, uint64_t key)
      : Socket(std::move(socket)), Address(std::move(address)), Key(key),
        Reader(TStatusServer::kMaxReportBytes) {}
  tcp::socket Socket;
  const std::string Address;
  const uint64_t Key;
  TReportReader Reader;
  std::string Name;        // as first reported
  bool Reported = false;
  int64_t DeadlineMs = 0;  // steady time by which the frame begun must end
  bool Closed = false;
};

}  // namespace

struct TStatusServer::TImpl {
  TImpl(ISystem& system, IDebugSink& sink, TAgentRegistry& registry, const TMonitorSettings& settings)
      : System(system), Sink(sink), Log(sink, true), Registry(registry), Settings(settings),
        SilenceMs(int64_t{settings.LostAfterSeconds} * 1000),
        MaxConnections(settings.MaxAgents + kSpareConnections) {}

  static constexpr size_t kReadBufferBytes = 64 * 1024;

  // The loop's own; made by Start, destroyed by Stop after the thread ended.
  struct TLoop {
    asio::io_context Io{1};
    tcp::acceptor Acceptor{Io};
    asio::steady_timer Sweep{Io};
    asio::steady_timer AcceptPause{Io};
    std::unordered_map<uint64_t, std::shared_ptr<TStatusConnection>> Connections;
    // What every read lands in before the reader keeps its part.
    std::unique_ptr<char[]> ReadBuffer{new char[kReadBufferBytes]};
  };

  void Accept();
  void Admit(tcp::socket socket);
  void WaitForBytes(const std::shared_ptr<TStatusConnection>& connection);
  void ReadBytes(const std::shared_ptr<TStatusConnection>& connection);
  // Takes what the reader has of `data`; false once the connection is done
  // with (and closed).
  bool Feed(TStatusConnection& connection, const char* data, size_t size);
  void SweepSilent();
  void Close(TStatusConnection& connection, const std::string& why);

  // Constant after construction; borrowed.
  ISystem& System;
  IDebugSink& Sink;
  const TDebugLog Log;
  TAgentRegistry& Registry;
  const TMonitorSettings& Settings;
  const int64_t SilenceMs;
  const size_t MaxConnections;

  // Made and destroyed by the owner's thread while the loop thread is not
  // running; used by the loop thread in between.
  std::unique_ptr<TLoop> Loop;
  TThread Thread{"Status"};
  uint16_t BoundPort = 0;  // written by Start, before the thread
};

void TStatusServer::TImpl::Accept() {
  Loop->Acceptor.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
    if (error == asio::error::operation_aborted) return;
    if (error) {
      Loop->AcceptPause.expires_after(kAcceptRetry);
      Loop->AcceptPause.async_wait([this](const boost::system::error_code& waited) {
        if (!waited) Accept();
      });
      return;
    }
    Admit(std::move(socket));
    Accept();
  });
}

void TStatusServer::TImpl::Admit(tcp::socket socket) {
  boost::system::error_code error;
  const tcp::endpoint peer = socket.remote_endpoint(error);
  if (error || !peer.address().is_v4()) return;  // gone already
  const std::string address = peer.address().to_v4().to_string();
  if (!Settings.AllowedAgents.Allows(NetworkOrder(peer.address().to_v4()))) {
    Log.Write("MONITOR: refused status connection from %s: not in allowed_agents", address);
    return;
  }
  if (Loop->Connections.size() >= MaxConnections) {
    Log.Write("MONITOR: dropped status connection from %s: more than %d connections", address,
              static_cast<int64_t>(MaxConnections));
    return;
  }
  socket.non_blocking(true, error);
  if (error) return;
  auto connection = std::make_shared<TStatusConnection>(std::move(socket), address, Registry.Connected(address));
  connection->DeadlineMs = SteadyMs() + SilenceMs;
  Loop->Connections.emplace(connection->Key, connection);
  WaitForBytes(connection);
}

void TStatusServer::TImpl::WaitForBytes(const std::shared_ptr<TStatusConnection>& connection) {
  connection->Socket.async_wait(tcp::socket::wait_read, [this, connection](const boost::system::error_code& error) {
    if (connection->Closed) return;
    if (error) return Close(*connection, "connection closed");
    ReadBytes(connection);
  });
}

void TStatusServer::TImpl::ReadBytes(const std::shared_ptr<TStatusConnection>& connection) {
  for (size_t taken = 0; taken < kReadTurnBytes;) {
    boost::system::error_code error;
    const size_t got = connection->Socket.read_some(asio::buffer(Loop->ReadBuffer.get(), kReadBufferBytes), error);
    if (error == asio::error::would_block) return WaitForBytes(connection);
    if (error) return Close(*connection, "connection closed");
    if (!Feed(*connection, Loop->ReadBuffer.get(), got)) return;
    taken += got;
  }
  // Its turn is over: the others first.
  asio::post(Loop->Io, [this, connection] {
    if (!connection->Closed) ReadBytes(connection);
  });
}

bool TStatusServer::TImpl::Feed(TStatusConnection& connection, const char* data, size_t size) {
  while (size > 0) {
    size_t used = 0;
    const TReportReader::EStep step = connection.Reader.Take(std::string_view(data, size), used);
    data += used;
    size -= used;
    if (step == TReportReader::EStep::NeedMore) return true;
    if (step == TReportReader::EStep::TooLong) {
      Registry.Rejected(connection.Key);
      Close(connection, "frame of " + std::to_string(connection.Reader.Announced()) + " bytes");
      return false;
    }
    std::string error;
    std::optional<TAgentReport> report = connection.Reader.Report(error);
    if (!report) {
      Registry.Rejected(connection.Key);
      Close(connection, "malformed report: " + error);
      return false;
    }
    if (!Registry.Report(connection.Key, *report, connection.Reader.StatusBytes())) {
      Close(connection, "more than " + std::to_string(Settings.MaxAgents) + " agents");
      return false;
    }
    connection.DeadlineMs = SteadyMs() + SilenceMs;
    if (!connection.Reported) {
      connection.Name = report->ComputerName;
      connection.Reported = true;
      Log.Write("MONITOR: agent %s (%s) reporting", connection.Address, UserText(connection.Name));
    }
  }
  return true;
}

void TStatusServer::TImpl::SweepSilent() {
  const int64_t now = SteadyMs();
  std::vector<std::shared_ptr<TStatusConnection>> silent;
  for (const auto& [key, connection] : Loop->Connections)
    if (now >= connection->DeadlineMs) silent.push_back(connection);
  for (const auto& connection : silent) Close(*connection, "silent for " + std::to_string(SilenceMs / 1000) + " s");
  Loop->Sweep.expires_after(kSweepPeriod);
  Loop->Sweep.async_wait([this](const boost::system::error_code& error) {
    if (!error) SweepSilent();
  });
}

void TStatusServer::TImpl::Close(TStatusConnection& connection, const std::string& why) {
  if (connection.Closed) return;
  connection.Closed = true;
  Registry.Closed(connection.Key, why);
  if (connection.Reported)
    Log.Write("MONITOR: agent %s (%s) lost: %s", connection.Address, UserText(connection.Name), UserText(why));
  else
    Log.Write("MONITOR: dropped status connection from %s: %s", connection.Address, UserText(why));
  boost::system::error_code ignored;
  connection.Socket.close(ignored);
  Loop->Connections.erase(connection.Key);  // last: it may hold the only reference
}

TStatusServer::TStatusServer(ISystem& system, IDebugSink& log, TAgentRegistry& registry,
                             const TMonitorSettings& settings)
    : Impl(std::make_unique<TImpl>(system, log, registry, settings)) {}

TStatusServer::~TStatusServer() { Stop(); }

TStatus TStatusServer::Start() {
  TImpl& impl = *Impl;
  if (impl.Loop) return TStatus::Failure("", "the status server is started already");
  const auto failure = [&impl](const TStatus& why) {
    return TStatus::Failure("status port " + std::to_string(impl.Settings.StatusPort) +
                                (impl.Settings.BindIp.empty() ? "" : " on " + impl.Settings.BindIp) +
                                " cannot be taken",
                            why.Reason(), why.Code());
  };
  TTcpSocket listening;
  uint16_t bound = 0;
  if (TStatus opened = OpenListeningSocket(impl.Settings.BindIp, impl.Settings.StatusPort, listening, bound); !opened)
    return failure(opened);
  impl.Loop = std::make_unique<TImpl::TLoop>();
  boost::system::error_code error;
  impl.Loop->Acceptor.assign(tcp::v4(), listening.Release(), error);
  if (error) {
    impl.Loop.reset();
    return failure(TStatus::Failure("", error.message(), error.value()));
  }
  impl.BoundPort = bound;
  impl.Accept();
  impl.SweepSilent();
  if (TStatus started = impl.Thread.TryStart(impl.System, impl.Sink, [&impl] { impl.Loop->Io.run(); }); !started) {
    impl.Loop.reset();
    impl.BoundPort = 0;
    return TStatus::Failure("status thread cannot be made", started.Reason(), started.Code());
  }
  return {};
}

uint16_t TStatusServer::Port() const { return Impl->BoundPort; }

void TStatusServer::Stop() {
  TImpl& impl = *Impl;
  if (!impl.Loop) return;
  impl.Loop->Io.stop();
  impl.Thread.Join();
  std::vector<std::shared_ptr<TStatusConnection>> open;
  for (const auto& [key, connection] : impl.Loop->Connections) open.push_back(connection);
  for (const auto& connection : open) impl.Close(*connection, "monitor stopped");
  impl.Loop.reset();
}
