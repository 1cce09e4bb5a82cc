// SPDX-License-Identifier: Apache-2.0
// The monitor's views in-process: a registry fed directly (with a clock of
// the test's own), the web server on a free loopback port, and what its
// readers get from it: /agents.json through the list reader, /metrics, the
// page, the terminal table, and the server's bounds.

#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "FakePeers.h"
#include "Monitor/AgentsJson.h"
#include "Monitor/StatusTable.h"
#include "Monitor/T_AgentRegistry.h"
#include "Monitor/T_WebServer.h"
#include "MonitorWebSupport.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;

constexpr int64_t kStartMs = 1'800'000'000'000;

// A raw connection to the server, for requests no client library sends.
class TRawClient {
 public:
  explicit TRawClient(uint16_t port) : Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Connected = ::connect(Fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~TRawClient() { ::close(Fd); }
  bool Send(const std::string& bytes) { return fake::WriteAll(Fd, bytes); }
  // Everything until the server closes (or `timeoutMs` passes).
  std::string ReadUntilClosed(int timeoutMs) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    timeval wait{0, 100000};
    ::setsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
      const ssize_t got = ::recv(Fd, buffer, sizeof buffer, 0);
      if (got == 0) break;
      if (got > 0) text.append(buffer, static_cast<size_t>(got));
    }
    return text;
  }

  const int Fd;
  bool Connected = false;
};

struct MonitorWebTest : ::testing::Test {
  void SetUp() override { ASSERT_TRUE(Monitor.Started); }
  uint64_t Feed(const std::string& address, const TAgentReport& report) { return Monitor.Feed(address, report); }
  httplib::Client Client() {
    httplib::Client client("127.0.0.1", Monitor.Server.Port());
    client.set_connection_timeout(10);
    client.set_read_timeout(30);
    return client;
  }

  std::atomic<int64_t> Now{kStartMs};
  TServedRegistry Monitor{[this] { return Now.load(); }, 4999};
  TAgentRegistry& Registry = Monitor.Registry;
  TWebServer& Server = Monitor.Server;
};

// A server that is not a monitor, on a free loopback port.
struct TOtherServer {
  explicit TOtherServer(const std::function<void(httplib::Server&)>& route) {
    route(Server);
    Port = Server.bind_to_any_port("127.0.0.1");
    Serving = std::thread([this] { Server.listen_after_bind(); });
  }
  ~TOtherServer() {
    Server.stop();
    Serving.join();
  }
  std::string Host() const { return "127.0.0.1:" + std::to_string(Port); }

  httplib::Server Server;
  int Port = 0;
  std::thread Serving;
};

TEST_F(MonitorWebTest, AgentsJsonCarriesEveryFieldOfUpAndLostAgentsWithTheirHistory) {
  const uint64_t first = Feed("127.0.0.7", SampleReport("WORKSTATION7", 90, 4, "Unassigned"));
  Now += TAgentRegistry::kHistorySlotMs;
  Registry.Report(first, SampleReport("WORKSTATION7", 20, 70, "Working (2 tasks)"));
  const uint64_t second = Feed("127.0.0.5", SampleReport("BOX5", 40, 0, "Working [suspended, 3]"));
  Now += 1000;
  Registry.Closed(second, "connection closed");
  Feed("127.0.0.9", SampleReport("M\xe9RIDA", 100, 0, "Idle"));  // not UTF-8, as a Latin-1 machine name comes

  auto answer = Client().Get("/agents.json");
  ASSERT_TRUE(answer) << httplib::to_string(answer.error());
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(answer->get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(answer->get_header_value("Cache-Control"), "no-store");

  TAgentList list;
  ASSERT_TRUE(ParseAgentsJson(answer->body, list).Ok()) << answer->body;
  EXPECT_EQ(list.NowUnixMs, Now.load());
  ASSERT_EQ(list.Agents.size(), 3u);
  const TListedAgent& lost = list.Agents[0];  // by address
  EXPECT_EQ(lost.Address, "127.0.0.5");
  EXPECT_EQ(lost.Lobby, "127.0.0.5:4999");
  EXPECT_EQ(lost.Name, "BOX5");
  EXPECT_TRUE(lost.Suspended);
  EXPECT_FALSE(lost.Up);
  EXPECT_EQ(lost.LostReason, "connection closed");
  EXPECT_EQ(lost.Status, "Working [suspended, 3]");
  const TListedAgent& busy = list.Agents[1];
  EXPECT_EQ(busy.Address, "127.0.0.7");
  EXPECT_EQ(busy.Lobby, "127.0.0.7:4999");
  EXPECT_EQ(busy.Name, "WORKSTATION7");
  EXPECT_EQ(busy.Processors, 8u);
  EXPECT_EQ(busy.PoolSize, 6u);
  EXPECT_EQ(busy.IdlePercent, 20u);
  EXPECT_EQ(busy.AgentPercent, 70u);
  EXPECT_EQ(busy.FreeMemoryMB, 1536u);
  EXPECT_EQ(busy.Status, "Working (2 tasks)");
  EXPECT_FALSE(busy.Suspended);
  EXPECT_TRUE(busy.Up);
  EXPECT_EQ(busy.LostReason, "");
  EXPECT_EQ(busy.LastReportUnixMs, kStartMs + TAgentRegistry::kHistorySlotMs);
  // A name that is not UTF-8 spoils only itself, not the document.
  EXPECT_EQ(list.Agents[2].Name, "M\xef\xbf\xbdRIDA");

  // The fields only the page reads.
  const nlohmann::json document = nlohmann::json::parse(answer->body);
  EXPECT_EQ(document["agents_up"], 2);
  EXPECT_EQ(document["agents_known"], 3);
  EXPECT_EQ(document["reports_received"], 4);
  const nlohmann::json& agent = document["agents"][1];
  EXPECT_EQ(agent["version"], 265);
  EXPECT_DOUBLE_EQ(agent["processor_ghz"].get<double>(), 2.4);
  EXPECT_EQ(agent["reports"], 2);
  EXPECT_EQ(agent["first_seen"], kStartMs);
  const int64_t slot = kStartMs - kStartMs % TAgentRegistry::kHistorySlotMs;
  EXPECT_EQ(agent["history"], nlohmann::json::parse("[[" + std::to_string(slot) + ",10,4],[" +
                                                    std::to_string(slot + TAgentRegistry::kHistorySlotMs) + ",80,70]]"));
}

TEST_F(MonitorWebTest, MetricsGiveEveryGaugeWithEscapedLabelsAndTheTotals) {
  Feed("127.0.0.7", SampleReport("we\"ird\\na\nme", 25, 60, "Working [suspended, 2]"));
  const uint64_t gone = Feed("127.0.0.8", SampleReport("GONE", 100, 0, "Unassigned"));
  Registry.Closed(gone, "connection closed");
  Registry.Rejected(Registry.Connected("127.0.0.66"));
  Registry.DiscoveryAnswered();

  auto answer = Client().Get("/metrics");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(answer->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  const std::string& text = answer->body;
  const std::string labels = R"({address="127.0.0.7",name="we\"ird\\na\nme"})";
  for (const std::string& line :
       {"kelvra_agent_up" + labels + " 1", "kelvra_agent_processors" + labels + " 8",
        "kelvra_agent_pool_size" + labels + " 6", "kelvra_agent_processor_ghz" + labels + " 2.4",
        "kelvra_agent_cpu_load_percent" + labels + " 75", "kelvra_agent_share_percent" + labels + " 60",
        "kelvra_agent_free_memory_bytes" + labels + " 1610612736", "kelvra_agent_suspended" + labels + " 1",
        "kelvra_agent_last_report_timestamp_seconds" + labels + " 1800000000",
        "kelvra_agent_reports_total" + labels + " 1",
        std::string(R"(kelvra_agent_up{address="127.0.0.8",name="GONE"} 0)"), std::string("kelvra_agents_up 1"),
        std::string("kelvra_agents_known 2"), std::string("kelvra_status_reports_total 2"),
        std::string("kelvra_status_reports_rejected_total 1"), std::string("kelvra_status_connections_total 3"),
        std::string("kelvra_discovery_answers_total 1")})
    EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line << "\n" << text;
  // Every family is described and typed once, before its samples.
  for (const char* family : {"kelvra_agent_up", "kelvra_agent_processor_ghz", "kelvra_agent_reports_total",
                             "kelvra_agents_up", "kelvra_status_reports_total", "kelvra_discovery_answers_total"}) {
    const size_t help = text.find(std::string("# HELP ") + family + " ");
    const size_t type = text.find(std::string("# TYPE ") + family + " ");
    ASSERT_NE(help, std::string::npos) << family;
    ASSERT_NE(type, std::string::npos) << family;
    EXPECT_LT(type, text.find(std::string("\n") + family + (family == std::string("kelvra_agents_up") ? " " : "{")));
  }
  EXPECT_NE(text.find("# TYPE kelvra_agent_reports_total counter\n"), std::string::npos);
  EXPECT_NE(text.find("# TYPE kelvra_agent_up gauge\n"), std::string::npos);
  // Each sample on a line of its own: the escaped newline did not split one.
  for (size_t at = text.find("kelvra_agent_up{"); at != std::string::npos; at = text.find("kelvra_agent_up{", at + 1))
    EXPECT_TRUE(at == 0 || text[at - 1] == '\n');
}

TEST_F(MonitorWebTest, ThePageIsServedWholeAndOtherPathsAre404) {
  httplib::Client client = Client();
  auto page = client.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(page->body.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_NE(page->body.find("agents.json"), std::string::npos);
  // Self-contained: nothing fetched from another host.
  EXPECT_EQ(page->body.find("src=\"http"), std::string::npos);
  EXPECT_EQ(page->body.find("href=\"http"), std::string::npos);

  auto head = client.Head("/agents.json");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 200);
  EXPECT_EQ(head->body, "");
  for (const char* path : {"/nothing", "/agents.json/x", "/index.html", "/metrics/"}) {
    auto missing = client.Get(path);
    ASSERT_TRUE(missing) << path;
    EXPECT_EQ(missing->status, 404) << path;
  }
}

TEST_F(MonitorWebTest, AHugeOrGarbageRequestCostsOnlyThatRequest) {
  Feed("127.0.0.7", SampleReport("WORKSTATION7", 90, 4, "Unassigned"));
  {
    TRawClient huge(Monitor.Server.Port());
    ASSERT_TRUE(huge.Connected);
    huge.Send("GET /" + std::string(200000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n");
    const std::string answer = huge.ReadUntilClosed(30000);
    EXPECT_EQ(answer.find("200 OK"), std::string::npos) << answer.substr(0, 200);
  }
  {
    TRawClient garbage(Monitor.Server.Port());
    ASSERT_TRUE(garbage.Connected);
    const char bytes[] = "\x16\x03\x01\x00\xff garbage\0\r\n\r\n\r\n";
    garbage.Send(std::string(bytes, sizeof bytes - 1));
    const std::string answer = garbage.ReadUntilClosed(30000);
    EXPECT_EQ(answer.find("200 OK"), std::string::npos) << answer.substr(0, 200);
  }
  {
    TRawClient headers(Monitor.Server.Port());
    ASSERT_TRUE(headers.Connected);
    std::string request = "GET /agents.json HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 20000; ++i) request += "X-Filler-" + std::to_string(i) + ": yes\r\n";
    headers.Send(request + "\r\n");
    const std::string answer = headers.ReadUntilClosed(30000);
    EXPECT_EQ(answer.find("WORKSTATION7"), std::string::npos) << answer.substr(0, 200);
  }
  auto body = Client().Post("/agents.json", std::string(1 << 20, 'x'), "text/plain");
  if (body) {
    EXPECT_NE(body->status, 200);
  }

  auto next = Client().Get("/agents.json");
  ASSERT_TRUE(next);
  EXPECT_EQ(next->status, 200);
  EXPECT_NE(next->body.find("WORKSTATION7"), std::string::npos);
}

TEST_F(MonitorWebTest, StopIsPromptWhileClientsHoldConnectionsOpen) {
  httplib::Client kept = Client();
  kept.set_keep_alive(true);
  ASSERT_TRUE(kept.Get("/metrics"));
  TRawClient halfRequest(Monitor.Server.Port());
  ASSERT_TRUE(halfRequest.Connected);
  halfRequest.Send("GET /agents.json HTTP/1.1\r\nHost: x\r\n");
  TRawClient silent(Monitor.Server.Port());
  ASSERT_TRUE(silent.Connected);
  std::this_thread::sleep_for(100ms);  // let the server take them up

  const auto start = std::chrono::steady_clock::now();
  RunBounded([&] { Server.Stop(); }, 60s, "Stop");
  // Bounded by the server's own read time-out, not by the clients.
  EXPECT_LT(ElapsedMs(start), 15000);
  EXPECT_FALSE(Client().Get("/"));
}

TEST(MonitorWebServer, StartSaysWhenItsPortIsTakenAndStopBeforeStartIsHarmless) {
  TAgentRegistry registry([] { return kStartMs; }, 10000);
  TMonitorSettings settings;
  settings.BindIp = "127.0.0.1";
  settings.HttpPort = 0;
  TWebServer first(registry, settings);
  first.Stop();
  ASSERT_TRUE(first.Start().Ok());
  settings.HttpPort = first.Port();
  TWebServer second(registry, settings);
  const TStatus taken = second.Start();
  EXPECT_FALSE(taken.Ok());
  EXPECT_NE(taken.Reason().find("http port " + std::to_string(first.Port()) + " is taken"), std::string::npos)
      << taken.Reason();
  // Started and stopped at once: the stop is not lost.
  TMonitorSettings any = settings;
  any.HttpPort = 0;
  for (int i = 0; i < 20; ++i) {
    TWebServer quick(registry, any);
    ASSERT_TRUE(quick.Start().Ok());
    RunBounded([&] { quick.Stop(); }, 60s, "Stop right after Start");
  }
}

TEST_F(MonitorWebTest, FetchAgentListReadsTheMonitorAndSaysWhyWhenItCannot) {
  Feed("127.0.0.7", SampleReport("WORKSTATION7", 90, 4, "Unassigned"));
  TAgentList list;
  ASSERT_TRUE(FetchAgentList(Monitor.Host(), list).Ok());
  ASSERT_EQ(list.Agents.size(), 1u);
  EXPECT_EQ(list.Agents[0].Lobby, "127.0.0.7:4999");

  const uint16_t nobody = fake::FreePort();
  TStatus unreachable = FetchAgentList("127.0.0.1:" + std::to_string(nobody), list);
  EXPECT_EQ(unreachable.Reason(), "monitor 127.0.0.1:" + std::to_string(nobody) + " is unreachable: no connection");
  EXPECT_EQ(FetchAgentList(":4106", list).Reason(), "monitor address \":4106\" has no host");
  EXPECT_EQ(FetchAgentList("127.0.0.1:0", list).Reason(), "monitor address \"127.0.0.1:0\" has a bad port (1 to 65535)");

  // Something else on the port: a server that knows no such path, or
  // answers it with something that is not a list.
  {
    TOtherServer other([](httplib::Server& server) {
      server.Get("/agents.json", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("{\"agents\": {}}", "application/json");
      });
    });
    ASSERT_GT(other.Port, 0);
    EXPECT_EQ(FetchAgentList(other.Host(), list).Reason(),
              "monitor " + other.Host() + " answered no agent list: no \"agents\" array");
  }
  TOtherServer missing([](httplib::Server&) {});
  ASSERT_GT(missing.Port, 0);
  EXPECT_EQ(FetchAgentList(missing.Host(), list).Reason(), "monitor " + missing.Host() + " answered 404");
}

TEST(AgentsJsonReader, ToleratesExtraAndMissingFieldsAndSaysWhyItRefusesAText) {
  TAgentList list;
  ASSERT_TRUE(ParseAgentsJson(R"({"now": 5, "future": [1, 2], "agents": [{"address": "10.0.0.1", "colour": "red"}]})",
                              list)
                  .Ok());
  EXPECT_EQ(list.NowUnixMs, 5);
  ASSERT_EQ(list.Agents.size(), 1u);
  EXPECT_EQ(list.Agents[0].Address, "10.0.0.1");
  EXPECT_FALSE(list.Agents[0].Up);

  const std::pair<const char*, const char*> refused[] = {
      {"", "not a JSON text"},
      {"<html>", "not a JSON text"},
      {"{\"agents\": [", "not a JSON text"},
      {"[]", "not a JSON object"},
      {"{}", "no \"agents\" array"},
      {R"({"agents": {"address": "x"}})", "no \"agents\" array"},
      {R"({"now": "soon", "agents": []})", "\"now\" is not a whole number"},
      {R"({"agents": [7]})", "agent 1: not a JSON object"},
      {R"({"agents": [{}, {"processors": "two"}]})", "agent 2: \"processors\" is not a whole number from 0"},
      {R"({"agents": [{"pool_size": -1}]})", "agent 1: \"pool_size\" is not a whole number from 0"},
      {R"({"agents": [{"free_memory_mb": 1.5}]})", "agent 1: \"free_memory_mb\" is not a whole number from 0"},
      {R"({"agents": [{"idle_percent": 99999999999}]})", "agent 1: \"idle_percent\" is not a whole number up to"},
      {R"({"agents": [{"up": 1}]})", "agent 1: \"up\" is not true or false"},
      {R"({"agents": [{"name": 7}]})", "agent 1: \"name\" is not a string"},
  };
  for (const auto& [text, why] : refused) {
    TAgentList untouched;
    untouched.NowUnixMs = 42;
    const TStatus parsed = ParseAgentsJson(text, untouched);
    EXPECT_FALSE(parsed.Ok()) << text;
    EXPECT_NE(parsed.Reason().find(why), std::string::npos) << text << " -> " << parsed.Reason();
    EXPECT_EQ(untouched.NowUnixMs, 42) << text;
  }
}

TEST(StatusTable, AlignsColumnsCountsAgentsAndShowsWhyAgentsWereLost) {
  TAgentList list;
  list.NowUnixMs = 1'000'000;
  list.Agents.push_back({"10.0.0.7", "10.0.0.7:4102", "WORKSTATION7", 8, 6, 97, 0, 15360, "Unassigned", false, true,
                         "", 999'000});
  list.Agents.push_back({"10.0.0.12", "10.0.0.12:4102", "RENDER\x1b[2J", 32, 32, 4, 93, 512,
                         "Working [suspended, 2]", true, true, "", 998'000});
  list.Agents.push_back({"10.0.0.9", "10.0.0.9:4102", "OLD", 2, 2, 100, 0, 800, "Unassigned", false, false,
                         "connection closed", 400'000});
  EXPECT_EQ(FormatStatusTable(list),
            "ADDRESS    NAME          CPUS  POOL  LOAD  AGENT  FREE MEMORY  LAST REPORT  STATUS\n"
            "10.0.0.7   WORKSTATION7     8     6   3 %    0 %     15360 MB      1 s ago  Unassigned\n"
            "10.0.0.12  RENDER?[2J      32    32  96 %   93 %       512 MB      2 s ago  Working [suspended, 2]\n"
            "10.0.0.9   OLD              2     2   0 %    0 %       800 MB   10 min ago  lost: connection closed\n"
            "2 agents up, 1 lost\n");
  EXPECT_EQ(FormatStatusTable(TAgentList{}), "no agent has reported to this monitor yet\n");
}

}  // namespace
