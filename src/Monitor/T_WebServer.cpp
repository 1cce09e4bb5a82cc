// SPDX-License-Identifier: Apache-2.0
#include "Monitor/T_WebServer.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <optional>

#include "Common/T_Listener.h"
#include "Monitor/AgentsJson.h"
#include "Monitor/MetricsText.h"
#include "Monitor/WebPage.h"
#include "Platform/T_Platform.h"
#include "Platform/T_TcpSocket.h"
#include "Platform/T_Thread.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr unsigned kRequestsPerConnection = 100;
constexpr auto kLinger = std::chrono::seconds(2);
constexpr size_t kMaxLingerBytes = 4 * 1024 * 1024;
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

struct TWebLoop;

// One client's connection: requests read one at a time, each answered
// before the next is read.
class TWebSession : public std::enable_shared_from_this<TWebSession> {
 public:
  TWebSession(TWebLoop& loop, tcp::socket socket);
  ~TWebSession();
  void ReadRequest();

 private:
  void OnRequest(const beast::error_code& error);
  void Answer(const http::request<http::string_body>& request);
  void Refuse(http::status status, const char* text, bool keepAlive);
  void Send(http::status status, std::string body, const char* type, const char* cacheControl, bool head,
            bool keepAlive);
  // After the last answer: stops sending, and reads what the client still
  // sends (its rest of a refused request) for a little while, so that the
  // answer reaches it rather than being reset; then closes.
  void Linger();
  void Close();

  TWebLoop& Loop;  // borrowed: outlives every session
  beast::tcp_stream Stream;
  beast::flat_buffer Buffer{TWebServer::kMaxHeaderBytes + TWebServer::kMaxBodyBytes};
  std::optional<http::request_parser<http::string_body>> Parser;
  unsigned Served = 0;
  size_t AnswerBytes = 0;  // counted in the loop's AnswerBytes while sent
  size_t Discarded = 0;    // bytes read and dropped while lingering
};

// The loop's own; made by Start, destroyed by Stop after the thread ended.
struct TWebLoop {
  TWebLoop(const TAgentRegistry& registry, const TMonitorSettings& settings) : Registry(registry), Settings(settings) {}
  void Accept();

  const TAgentRegistry& Registry;    // borrowed
  const TMonitorSettings& Settings;  // borrowed
  // Before the loop: the sessions it destroys with it count themselves out.
  size_t Sessions = 0;
  size_t AnswerBytes = 0;
  // Where lingering reads go: nobody looks at them.
  char Discard[16 * 1024];
  asio::io_context Io{1};
  tcp::acceptor Acceptor{Io};
  asio::steady_timer AcceptPause{Io};
};

void TWebLoop::Accept() {
  Acceptor.async_accept([this](const beast::error_code& error, tcp::socket socket) {
    if (error == asio::error::operation_aborted) return;
    if (error) {
      AcceptPause.expires_after(kAcceptRetry);
      AcceptPause.async_wait([this](const beast::error_code& waited) {
        if (!waited) Accept();
      });
      return;
    }
    // Beyond the bound the connection is closed unanswered.
    if (Sessions < TWebServer::kMaxConnections) std::make_shared<TWebSession>(*this, std::move(socket))->ReadRequest();
    Accept();
  });
}

TWebSession::TWebSession(TWebLoop& loop, tcp::socket socket) : Loop(loop), Stream(std::move(socket)) {
  ++Loop.Sessions;
}

TWebSession::~TWebSession() {
  --Loop.Sessions;
  Loop.AnswerBytes -= AnswerBytes;
}

void TWebSession::ReadRequest() {
  Parser.emplace();
  Parser->header_limit(static_cast<std::uint32_t>(TWebServer::kMaxHeaderBytes));
  Parser->body_limit(TWebServer::kMaxBodyBytes);
  // The whole request, from now: a client that trickles its bytes, or
  // keeps the connection without asking, is let go.
  Stream.expires_after(std::chrono::seconds(TWebServer::kRequestSeconds));
  http::async_read(Stream, Buffer, *Parser,
                   [self = shared_from_this()](const beast::error_code& error, size_t) { self->OnRequest(error); });
}

void TWebSession::OnRequest(const beast::error_code& error) {
  if (error == http::error::header_limit || error == http::error::buffer_overflow)
    return Refuse(http::status::request_header_fields_too_large, "request header too large\n", false);
  if (error == http::error::body_limit) return Refuse(http::status::payload_too_large, "request body too large\n", false);
  if (error == http::error::end_of_stream || error == beast::error::timeout || error == asio::error::operation_aborted ||
      error == asio::error::connection_reset || error == asio::error::eof)
    return Close();
  if (error) return Refuse(http::status::bad_request, "bad request\n", false);
  ++Served;
  Answer(Parser->get());
}

void TWebSession::Answer(const http::request<http::string_body>& request) {
  const bool keepAlive = request.keep_alive() && Served < kRequestsPerConnection;
  const bool head = request.method() == http::verb::head;
  if (!head && request.method() != http::verb::get)
    return Refuse(http::status::method_not_allowed, "method not allowed\n", keepAlive);
  const std::string_view target(request.target().data(), request.target().size());
  const size_t mark = target.find('?');
  const std::string_view path = target.substr(0, mark);
  const std::string_view query = mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
  if (path == "/") {
    return Send(http::status::ok, std::string(MonitorPageHtml()), "text/html; charset=utf-8", "no-cache", head,
                keepAlive);
  }
  if (path == "/agents.json") {
    std::string body;
    const TAgentsQuery asked = ParseAgentsQuery(query);
    Loop.Registry.Read([&](const TRegistryView& view) { body = AgentsJson(view, Loop.Settings.AgentLobbyPort, asked); });
    return Send(http::status::ok, std::move(body), "application/json", "no-store", head, keepAlive);
  }
  if (path == "/metrics") {
    std::string body;
    Loop.Registry.Read([&](const TRegistryView& view) { body = MetricsText(view); });
    return Send(http::status::ok, std::move(body), "text/plain; version=0.0.4; charset=utf-8", nullptr, head,
                keepAlive);
  }
  Refuse(http::status::not_found, "not found\n", keepAlive);
}

void TWebSession::Refuse(http::status status, const char* text, bool keepAlive) {
  Send(status, text, "text/plain; charset=utf-8", nullptr, false, keepAlive);
}

void TWebSession::Send(http::status status, std::string body, const char* type, const char* cacheControl, bool head,
                       bool keepAlive) {
  // Answers on their way hold their bytes until sent: beyond the bound, a
  // client is asked to come back rather than the monitor growing.
  if (Loop.AnswerBytes > 0 && Loop.AnswerBytes + body.size() > TWebServer::kMaxAnswerBytes) {
    status = http::status::service_unavailable;
    body = "busy, try again\n";
    type = "text/plain; charset=utf-8";
    cacheControl = nullptr;
    head = false;
  }
  auto answer = std::make_shared<http::response<http::string_body>>(status, 11);
  answer->set(http::field::content_type, type);
  if (cacheControl != nullptr) answer->set(http::field::cache_control, cacheControl);
  answer->keep_alive(keepAlive);
  answer->content_length(body.size());
  if (!head) answer->body() = std::move(body);
  AnswerBytes = answer->body().size();
  Loop.AnswerBytes += AnswerBytes;
  Stream.expires_after(std::chrono::seconds(TWebServer::kAnswerSeconds));
  // The serializer does not look at Content-Length: a HEAD answer carries
  // the length of the body it leaves out.
  http::async_write(Stream, *answer, [self = shared_from_this(), answer](const beast::error_code& error, size_t) {
    self->Loop.AnswerBytes -= self->AnswerBytes;
    self->AnswerBytes = 0;
    if (error) return self->Close();
    if (!answer->keep_alive()) return self->Linger();
    self->ReadRequest();
  });
}

void TWebSession::Linger() {
  if (Discarded == 0) {
    beast::error_code ignored;
    Stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    Stream.expires_after(kLinger);
  }
  Stream.async_read_some(asio::buffer(Loop.Discard), [self = shared_from_this()](const beast::error_code& error,
                                                                                   size_t got) {
    self->Discarded += got + 1;
    if (error || self->Discarded > kMaxLingerBytes) return self->Close();
    self->Linger();
  });
}

void TWebSession::Close() {
  beast::error_code ignored;
  Stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
  Stream.close();
}

}  // namespace

struct TWebServer::TImpl {
  TImpl(const TAgentRegistry& registry, const TMonitorSettings& settings) : Registry(registry), Settings(settings) {}

  // Borrowed, constant after construction.
  const TAgentRegistry& Registry;
  const TMonitorSettings& Settings;

  // Made and destroyed by the owner's thread while the loop thread is not
  // running; used by the loop thread in between.
  std::unique_ptr<TWebLoop> Loop;
  TThread Thread{"monitor-web"};
  uint16_t BoundPort = 0;
};

TWebServer::TWebServer(const TAgentRegistry& registry, const TMonitorSettings& settings)
    : Impl(std::make_unique<TImpl>(registry, settings)) {}

TWebServer::~TWebServer() { Stop(); }

TStatus TWebServer::Start() {
  TImpl& impl = *Impl;
  if (impl.Loop) return TStatus::Failure("", "the web server is started already");
  const std::string& address = impl.Settings.HttpBindIp;
  const std::string shown = address.empty() ? "0.0.0.0" : address;
  const uint16_t port = impl.Settings.HttpPort;
  TTcpSocket listening;
  uint16_t bound = 0;
  if (TStatus opened = OpenListeningSocket(address, port, listening, bound); !opened) {
    if (port == 0) return TStatus::Failure("", "http port cannot be bound on " + shown + ": " + opened.Reason());
    return TStatus::Failure("", "http port " + std::to_string(port) + " is taken (or " + shown +
                                    " is not a local address): " + opened.Reason());
  }
  impl.Loop = std::make_unique<TWebLoop>(impl.Registry, impl.Settings);
  beast::error_code error;
  impl.Loop->Acceptor.assign(tcp::v4(), listening.Release(), error);
  if (error) {
    impl.Loop.reset();
    return TStatus::Failure("", "http port " + std::to_string(bound) + " cannot be served: " + error.message());
  }
  impl.Loop->Accept();
  const TPlatform& platform = TPlatform::Linux();
  if (TStatus started = impl.Thread.TryStart(*platform.System, *platform.Debug, [&impl] { impl.Loop->Io.run(); });
      !started) {
    impl.Loop.reset();
    return TStatus::Failure("", "the web server's thread cannot start: " + started.Reason());
  }
  impl.BoundPort = bound;
  return {};
}

uint16_t TWebServer::Port() const { return Impl->BoundPort; }

void TWebServer::Stop() {
  TImpl& impl = *Impl;
  if (!impl.Loop) return;
  impl.Loop->Io.stop();
  impl.Thread.Join();
  // Every session is held by a handler of the loop: they go with it, and
  // their connections close.
  impl.Loop.reset();
}
