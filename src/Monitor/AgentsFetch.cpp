// SPDX-License-Identifier: Apache-2.0
// FetchAgentList: one GET of a monitor's /agents.json, bounded in time, on
// an event loop of the calling thread.
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <chrono>

#include "Common/HostPort.h"
#include "Monitor/AgentsJson.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr int kConnectTimeoutSeconds = 5;
constexpr int kReadTimeoutSeconds = 10;
// The largest list taken: far beyond the agents a monitor keeps.
constexpr uint64_t kMaxListBytes = uint64_t{1} << 30;

}  // namespace

TStatus FetchAgentList(const std::string& hostPort, TAgentList& list) {
  THostPort monitor;
  if (TStatus read = ParseHostPort(hostPort, kDefaultMonitorPort, monitor); !read)
    return TStatus::Failure("", "monitor address \"" + hostPort + "\" " + read.Reason());
  const auto unreachable = [&](const std::string& why) {
    return TStatus::Failure("", "monitor " + monitor.Text() + " is unreachable: " + why);
  };
  asio::io_context io{1};
  beast::error_code error;
  tcp::resolver resolver(io);
  const tcp::resolver::results_type addresses =
      resolver.resolve(monitor.Host, std::to_string(monitor.Port), tcp::resolver::numeric_service, error);
  if (error) return unreachable("no such host");

  beast::tcp_stream stream(io);
  stream.expires_after(std::chrono::seconds(kConnectTimeoutSeconds));
  stream.async_connect(addresses, [&](const beast::error_code& done, const tcp::endpoint&) { error = done; });
  io.run();
  if (error == beast::error::timeout)
    return unreachable("no connection within " + std::to_string(kConnectTimeoutSeconds) + " s");
  if (error) return unreachable("no connection");

  http::request<http::empty_body> request(http::verb::get, "/agents.json", 11);
  request.set(http::field::host, monitor.Text());
  request.set(http::field::connection, "close");
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> answer;
  answer.body_limit(kMaxListBytes);
  stream.expires_after(std::chrono::seconds(kReadTimeoutSeconds));
  http::async_write(stream, request, [&](const beast::error_code& written, size_t) {
    error = written;
    if (!written) http::async_read(stream, buffer, answer, [&](const beast::error_code& read, size_t) { error = read; });
  });
  io.restart();
  io.run();
  if (error == beast::error::timeout)
    return unreachable("no whole answer within " + std::to_string(kReadTimeoutSeconds) + " s");
  if (error) return unreachable("the answer broke off (" + error.message() + ")");
  const unsigned status = answer.get().result_int();
  if (status != 200) return TStatus::Failure("", "monitor " + monitor.Text() + " answered " + std::to_string(status));
  if (TStatus parsed = ParseAgentsJson(answer.get().body(), list); !parsed)
    return TStatus::Failure("", "monitor " + monitor.Text() + " answered no agent list: " + parsed.Reason());
  return {};
}
