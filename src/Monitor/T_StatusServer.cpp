#include "Monitor/T_StatusServer.h"

#include <cerrno>
#include <string>

#include "Common/T_DebugLog.h"
#include "Common/T_Listener.h"
#include "Common/WireFraming.h"
#include "Platform/T_TcpSocket.h"

namespace {

// Serves one agent's status connection: reads its reports until it sends
// something that is not one, goes silent, or closes.
class TStatusConnection {
 public:
  TStatusConnection(const TDebugLog& log, TAgentRegistry& registry, int silenceMs)
      : Log(log), Registry(registry), SilenceMs(silenceMs) {}

  void Serve(TConnection& connection) {
    const std::string address = connection.PeerAddress();
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
  std::string ReadReports(TConnection& connection, const std::string& address, uint64_t key, std::string& name,
                          bool& reported) {
    while (connection.Connected()) {
      std::string text;
      int32_t announced = 0;
      const TStatus read =
          SocketReadString(connection, text, SilenceMs, TStatusServer::kMaxReportBytes, &announced);
      if (read.Code() == EMSGSIZE) {
        Registry.Rejected(key);
        return "frame of " + std::to_string(announced) + " bytes";
      }
      if (!read) {
        // The read's time-out bounds the whole frame: having run out means
        // silence; anything else means the peer closed or failed.
        if (!connection.Connected()) return "monitor stopped";
        if (TTcpSocket::TimedOut(read)) return "silent for " + std::to_string(SilenceMs / 1000) + " s";
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
      : Log(sink, true), Registry(registry), Settings(settings), Listener(system, sink, "Status connection") {}

  // Constant after construction.
  const TDebugLog Log;
  TAgentRegistry& Registry;          // borrowed
  const TMonitorSettings& Settings;  // borrowed
  // Owns the accept thread and the connection threads.
  TListener Listener;
};

TStatusServer::TStatusServer(ISystem& system, IDebugSink& log, TAgentRegistry& registry,
                             const TMonitorSettings& settings)
    : Impl(std::make_unique<TImpl>(system, log, registry, settings)) {}

TStatusServer::~TStatusServer() { Stop(); }

TStatus TStatusServer::Start() {
  TImpl& impl = *Impl;
  const int silenceMs = impl.Settings.LostAfterSeconds * 1000;
  auto admit = [&impl](uint32_t address, int served) {
    if (served < kMaxConnections) return true;
    impl.Log.Write("MONITOR: dropped status connection from %s: more than %d connections",
                   TTcpSocket::AddressText(address), kMaxConnections);
    return false;
  };
  auto serve = [&impl, silenceMs](TConnection& connection) {
    TStatusConnection(impl.Log, impl.Registry, silenceMs).Serve(connection);
  };
  TStatus listening = impl.Listener.Start(impl.Settings.BindIp, impl.Settings.StatusPort, admit, serve);
  if (!listening)
    return TStatus::Failure("status port " + std::to_string(impl.Settings.StatusPort) +
                                (impl.Settings.BindIp.empty() ? "" : " on " + impl.Settings.BindIp) +
                                " cannot be taken",
                            listening.Reason(), listening.Code());
  return {};
}

uint16_t TStatusServer::Port() const { return Impl->Listener.Port(); }

void TStatusServer::Stop() { Impl->Listener.Stop(); }
