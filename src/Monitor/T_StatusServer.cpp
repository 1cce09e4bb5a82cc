#include "Monitor/T_StatusServer.h"

#include <chrono>
#include <exception>
#include <string>

#include "Common/E_SocketError.h"
#include "Common/T_DebugLog.h"
#include "Common/T_ServerSocket.h"
#include "Common/WireFraming.h"
#include "Platform/T_TcpSocket.h"

namespace {

// Idle connection threads kept for reuse: agents reconnect now and then,
// floods of connections should not leave thousands of threads behind.
constexpr int kThreadCacheSize = 4;

// Serves one agent's status connection: reads its reports until it sends
// something that is not one, goes silent, or closes.
class TStatusConnectionThread : public TServerClientThread {
 public:
  TStatusConnectionThread(const TDebugLog& log, TAgentRegistry& registry, int silenceMs)
      : TServerClientThread("Status connection"), Log(log), Registry(registry), SilenceMs(silenceMs) {}

 protected:
  void ClientExecute() override {
    TCustomWinSocket& connection = ClientSocket();
    const std::string address = connection.RemoteAddress();
    const uint64_t key = Registry.Connected(address);
    std::string name;
    bool reported = false;
    const std::string why = ReadReports(connection, address, key, name, reported);
    Registry.Closed(key, why);
    if (reported)
      Log.Write("MONITOR: agent %s (%s) lost: %s", address, UserText(name), UserText(why));
    else
      Log.Write("MONITOR: dropped status connection from %s: %s", address, UserText(why));
  }

 private:
  // Feeds the registry until the connection is done with; answers why it is.
  std::string ReadReports(TCustomWinSocket& connection, const std::string& address, uint64_t key, std::string& name,
                          bool& reported) {
    while (!Terminated()) {
      std::string text;
      int32_t announced = 0;
      const auto started = std::chrono::steady_clock::now();
      const TTextRead read = SocketReadBoundedString(connection, text, SilenceMs, TStatusServer::kMaxReportBytes,
                                                     &announced);
      if (read == TTextRead::TooLong) {
        Registry.Rejected(key);
        return "frame of " + std::to_string(announced) + " bytes";
      }
      if (read == TTextRead::Failed) {
        // The read's time-out bounds the whole frame: having waited that
        // long means silence; ending sooner means the peer closed or failed.
        const auto waited = std::chrono::steady_clock::now() - started;
        if (Terminated()) return "monitor stopped";
        if (waited >= std::chrono::milliseconds(SilenceMs))
          return "silent for " + std::to_string(SilenceMs / 1000) + " s";
        return "connection closed";
      }
      std::string error;
      std::optional<TAgentReport> report = ParseStatusReport(text, error);
      if (!report) {
        Registry.Rejected(key);
        return "malformed report: " + error;
      }
      Registry.Report(key, *report);
      if (!reported) {
        name = report->ComputerName;
        Log.Write("MONITOR: agent %s (%s) reporting", address, UserText(name));
        reported = true;
      }
    }
    return "monitor stopped";
  }

  const TDebugLog& Log;        // borrowed from the server
  TAgentRegistry& Registry;    // borrowed from the server
  const int SilenceMs;
};

}  // namespace

struct TStatusServer::TImpl {
  TImpl(ISystem& system, IDebugSink& sink, TAgentRegistry& registry, const TMonitorSettings& settings)
      : Log(sink, true), Registry(registry), Settings(settings), Server(system, sink) {}

  // Constant after construction.
  const TDebugLog Log;
  TAgentRegistry& Registry;          // borrowed
  const TMonitorSettings& Settings;  // borrowed
  // Owns the accept thread and the connection threads.
  TServerSocket Server;
};

TStatusServer::TStatusServer(ISystem& system, IDebugSink& log, TAgentRegistry& registry,
                             const TMonitorSettings& settings)
    : Impl(std::make_unique<TImpl>(system, log, registry, settings)) {}

TStatusServer::~TStatusServer() { Stop(); }

TStatus TStatusServer::Start() {
  TImpl& impl = *Impl;
  TServerSocket& server = impl.Server;
  const int silenceMs = impl.Settings.LostAfterSeconds * 1000;
  try {
    server.SetThreadCacheSize(kThreadCacheSize);
    server.SetAddress(impl.Settings.BindIp);
    server.SetPort(impl.Settings.StatusPort);
    server.SetOnAccept([&impl](uint32_t address) {
      // Only the accept thread adds connections: the count cannot grow
      // between this look and the refusal.
      if (impl.Server.ConnectionCount() < kMaxConnections) return true;
      impl.Log.Write("MONITOR: dropped status connection from %s: more than %d connections",
                     TTcpSocket::AddressText(address), kMaxConnections);
      return false;
    });
    server.SetOnGetThread([&impl, silenceMs](TCustomWinSocket&) -> std::unique_ptr<TServerClientThread> {
      return std::make_unique<TStatusConnectionThread>(impl.Log, impl.Registry, silenceMs);
    });
    server.SetOnThreadError([&impl](const std::string& message) { impl.Log.Write("MONITOR: %s", message); });
    server.Activate();
  } catch (const std::exception& error) {
    return TStatus::Failure("status port " + std::to_string(impl.Settings.StatusPort) +
                                (impl.Settings.BindIp.empty() ? "" : " on " + impl.Settings.BindIp) +
                                " cannot be taken",
                            error.what());
  }
  return {};
}

uint16_t TStatusServer::Port() const { return Impl->Server.LocalPort(); }

void TStatusServer::Stop() { Impl->Server.Deactivate(); }
