#include "Monitor/T_WebServer.h"

#include <httplib.h>

#include "Monitor/AgentsJson.h"
#include "Monitor/MetricsText.h"
#include "Monitor/WebPage.h"
#include "Platform/T_Platform.h"
#include "Platform/T_TcpSocket.h"
#include "Platform/T_Thread.h"

namespace {

// A page, a list and a text are all the server gives: a few threads serve
// them, a request is small, and a client that stalls is let go after a few
// seconds (which also bounds how long Stop waits for a connection in use).
constexpr size_t kServingThreads = 4;
constexpr int kReadTimeoutSeconds = 3;
constexpr int kWriteTimeoutSeconds = 3;
constexpr int kKeepAliveSeconds = 2;
constexpr size_t kRequestsPerConnection = 100;
constexpr size_t kMaxRequestBody = 16 * 1024;
constexpr size_t kMaxRequestHeaders = 64;
constexpr int kStopPollMs = 50;

}  // namespace

struct TWebServer::TImpl {
  TImpl(const TAgentRegistry& registry, const TMonitorSettings& settings) : Registry(registry), Settings(settings) {}

  void Route();

  // Borrowed, constant after construction.
  const TAgentRegistry& Registry;
  const TMonitorSettings& Settings;

  // The server is safe to stop from any thread; the rest belongs to the
  // owner's thread.
  httplib::Server Server;
  TThread Listener{"monitor-web"};
  uint16_t BoundPort = 0;
};

void TWebServer::TImpl::Route() {
  Server.new_task_queue = [] { return new httplib::ThreadPool(kServingThreads); };
  Server.set_read_timeout(kReadTimeoutSeconds);
  Server.set_write_timeout(kWriteTimeoutSeconds);
  Server.set_keep_alive_timeout(kKeepAliveSeconds);
  Server.set_keep_alive_max_count(kRequestsPerConnection);
  Server.set_payload_max_length(kMaxRequestBody);
  // Not the library's default, which lets a second server share the port.
  Server.set_socket_options([](int fd) { (void)TTcpSocket::PrepareListening(fd); });
  Server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
    if (request.headers.size() <= kMaxRequestHeaders) return httplib::Server::HandlerResponse::Unhandled;
    response.status = 431;
    response.set_content("too many header fields\n", "text/plain; charset=utf-8");
    return httplib::Server::HandlerResponse::Handled;
  });
  // GET handlers answer HEAD as well, without the body.
  Server.Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(std::string(MonitorPageHtml()), "text/html; charset=utf-8");
    response.set_header("Cache-Control", "no-cache");
  });
  Server.Get("/agents.json", [this](const httplib::Request&, httplib::Response& response) {
    response.set_content(AgentsJson(Registry.Snapshot(), Settings.AgentLobbyPort), "application/json");
    response.set_header("Cache-Control", "no-store");
  });
  Server.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
    response.set_content(MetricsText(Registry.Snapshot()), "text/plain; version=0.0.4; charset=utf-8");
  });
  Server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (response.body.empty())
      response.set_content(response.status == 404 ? "not found\n" : "error " + std::to_string(response.status) + "\n",
                           "text/plain; charset=utf-8");
  });
}

TWebServer::TWebServer(const TAgentRegistry& registry, const TMonitorSettings& settings)
    : Impl(std::make_unique<TImpl>(registry, settings)) {
  Impl->Route();
}

TWebServer::~TWebServer() { Stop(); }

TStatus TWebServer::Start() {
  const std::string address = Impl->Settings.BindIp.empty() ? "0.0.0.0" : Impl->Settings.BindIp;
  const uint16_t port = Impl->Settings.HttpPort;
  if (port == 0) {
    const int bound = Impl->Server.bind_to_any_port(address);
    if (bound <= 0) return TStatus::Failure("", "http port cannot be bound on " + address + ": not a local address");
    Impl->BoundPort = static_cast<uint16_t>(bound);
  } else {
    if (!Impl->Server.bind_to_port(address, port))
      return TStatus::Failure("", "http port " + std::to_string(port) + " is taken (or " + address +
                                      " is not a local address)");
    Impl->BoundPort = port;
  }
  const TPlatform& platform = TPlatform::Linux();
  if (TStatus started =
          Impl->Listener.TryStart(*platform.System, *platform.Debug, [this] { Impl->Server.listen_after_bind(); });
      !started)
    return TStatus::Failure("", "the web server's thread cannot start: " + started.Reason());
  return {};
}

uint16_t TWebServer::Port() const { return Impl->BoundPort; }

void TWebServer::Stop() {
  // The server ignores a stop that comes before its thread listens: asked
  // again until the thread has left.
  while (!Impl->Listener.Finished()) {
    Impl->Server.stop();
    Impl->Listener.Join(kStopPollMs);
  }
  Impl->Listener.Join();
}
