// SPDX-License-Identifier: Apache-2.0
// Hostile peers against the monitor's status port and web server, each in
// process with a real agent reporting beside them: whatever a peer sends
// costs only its own connection, the agent's reports go on arriving and
// the page goes on answering, and memory stays within the monitor's bounds.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Common/CommandText.h"
#include "FakePeers.h"
#include "Monitor/T_AgentRegistry.h"
#include "Monitor/T_DiscoveryResponder.h"
#include "Monitor/T_StatusServer.h"
#include "Monitor/T_WebServer.h"
#include "Platform/T_LinuxSystem.h"
#include "Platform/T_UdpSocket.h"
#include "T_AgentProcess.h"
#include "StatusAssertions.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;

int64_t UnixMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Under AddressSanitizer freed memory waits in quarantine: resident memory
// then says little of what the monitor holds, and is not compared.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentMeasurable = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kResidentMeasurable = false;
#else
constexpr bool kResidentMeasurable = true;
#endif
#else
constexpr bool kResidentMeasurable = true;
#endif

// This process's resident memory, in MiB.
int64_t ResidentMiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6)) / 1024;
  return -1;
}

// A TCP connection to 127.0.0.1:`port` from `source`, as a peer makes it.
class TPeer {
 public:
  TPeer(uint16_t port, const std::string& source = "127.0.0.1") : Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Connected = ::bind(Fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                ::connect(Fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0;
  }
  ~TPeer() { ::close(Fd); }
  TPeer(const TPeer&) = delete;
  TPeer& operator=(const TPeer&) = delete;

  // Sends what the other side takes; false once it stops taking.
  bool Send(const std::string& bytes) { return fake::WriteAll(Fd, bytes); }
  // Whatever comes until the other side closes, within `timeoutMs`; `closed`
  // says whether it did.
  std::string Receive(int timeoutMs, bool* closed = nullptr) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd ready{Fd, POLLIN, 0};
      if (::poll(&ready, 1, 100) <= 0) continue;
      char buffer[4096];
      const ssize_t got = ::recv(Fd, buffer, sizeof buffer, 0);
      if (got <= 0) {
        if (closed) *closed = true;
        return text;
      }
      text.append(buffer, static_cast<size_t>(got));
    }
    if (closed) *closed = false;
    return text;
  }
  bool ClosedByServer(int timeoutMs) {
    bool closed = false;
    Receive(timeoutMs, &closed);
    return closed;
  }

  const int Fd;
  bool Connected = false;
};

std::string Report(const std::string& name, const std::string& status) {
  return fake::Frame("UPDATE_STATUS 265 " + EncodeArgument(name) + " 2.400 40 30 1536 " + EncodeArgument(status) +
                     " 8 8");
}

// The status text of an agent with many queued tasks: their ids, listed.
std::string BusyStatus(size_t bytes) {
  std::string status = "Working for a[";
  for (int id = 1; status.size() < bytes - 1; ++id) status += (id > 1 ? "," : "") + std::to_string(id);
  status.resize(bytes - 1);
  return status + "]";
}

struct MonitorHostileTest : ::testing::Test {
  TRecordingSink Log;
  TLinuxSystem System;
  TMonitorSettings Settings;
  std::unique_ptr<TAgentRegistry> Registry;
  std::unique_ptr<TStatusServer> Status;
  std::unique_ptr<TWebServer> Web;
  TTempDir AgentDir;
  std::unique_ptr<TAgentProcess> Agent;

  // The monitor's parts on loopback with a real agent at 127.0.0.2
  // reporting; `allowed` is [monitor] allowed_agents.
  void Start(const std::string& allowed = "") {
    Settings.BindIp = "127.0.0.1";
    Settings.StatusPort = 0;
    Settings.HttpPort = 0;
    std::string bad;
    Settings.AllowedAgents = TAddressFilter::Parse(allowed, bad).value();
    Registry = std::make_unique<TAgentRegistry>(UnixMs, 10000);
    Status = std::make_unique<TStatusServer>(System, Log, *Registry, Settings);
    Web = std::make_unique<TWebServer>(*Registry, Settings);
    ASSERT_OK(Status->Start());
    ASSERT_OK(Web->Start());
    WriteTextFile(AgentDir / "kelvra.INI",
                  SafeSettings("bind_ip=127.0.0.2\n", "bind_port=" + std::to_string(Status->Port()) + "\n"));
    Agent = std::make_unique<TAgentProcess>(AgentDir, std::vector<std::string>{"--headless", "--config",
                                                                               AgentDir / "kelvra.INI"});
    ASSERT_TRUE(WaitUntil([&] { return At("127.0.0.2").has_value(); }, 60s)) << Agent->Err();
  }
  void TearDown() override {
    if (Agent) {
      Agent->Signal(SIGTERM);
      EXPECT_EQ(Agent->WaitExit(60s), 0) << Agent->Err();
    }
    if (Web) Web->Stop();
    if (Status) Status->Stop();
  }
  std::optional<TAgentView> At(const std::string& address) {
    for (const TAgentView& view : Registry->Snapshot().Agents)
      if (view.Address == address && view.Up) return view;
    return std::nullopt;
  }
  bool Logged(const std::string& line) {
    for (const std::string& logged : Log.Taken())
      if (logged == line + "\r") return true;
    return false;
  }
  httplib::Result Get(const std::string& path) {
    httplib::Client client("127.0.0.1", Web->Port());
    client.set_connection_timeout(10);
    client.set_read_timeout(30);
    return client.Get(path);
  }
  // The real agent's reports go on arriving, and the page and the list
  // answer with it.
  void ExpectAgentReportingAndPageServed() {
    const uint64_t before = At("127.0.0.2").value_or(TAgentView{}).Reports;
    EXPECT_TRUE(WaitUntil([&] { return At("127.0.0.2").value_or(TAgentView{}).Reports >= before + 2; }, 60s));
    auto list = Get("/agents.json");
    ASSERT_TRUE(list);
    EXPECT_EQ(list->status, 200);
    EXPECT_NE(list->body.find("\"127.0.0.2\""), std::string::npos);
    auto page = Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
  }
};

}  // namespace

TEST_F(MonitorHostileTest, AFrameOf100MBIsRefusedWhileABusyAgentsLongReportIsTaken) {
  Start();
  {
    TPeer peer(Status->Port());
    ASSERT_TRUE(peer.Connected);
    // The length, then as much of the frame as the monitor takes before it
    // closes the connection: nothing is held for it.
    peer.Send(std::string("\x00\x00\x40\x06", 4) + std::string(1 << 20, 'x'));
    EXPECT_TRUE(peer.ClosedByServer(30000));
    EXPECT_TRUE(WaitUntil([&] { return Logged("MONITOR: dropped status connection from 127.0.0.1: frame of 104857600 bytes"); }));
  }
  // An agent with 10,000 queued tasks lists them in its status: about 80 KB.
  const std::string status = BusyStatus(80000) + " [suspended, 5]";
  TPeer busy(Status->Port(), "127.0.0.3");
  ASSERT_TRUE(busy.Connected);
  ASSERT_TRUE(busy.Send(Report("BUSY", status)));
  ASSERT_TRUE(WaitUntil([&] { return At("127.0.0.3").has_value(); }, 30s));
  const TAgentView view = *At("127.0.0.3");
  EXPECT_EQ(view.StatusBytes, status.size());
  EXPECT_LT(view.Latest.StatusText.size(), 1024u);
  EXPECT_TRUE(IsSuspended(view.Latest.StatusText));
  EXPECT_EQ(view.Latest.StatusText.rfind("Working for a[1,2,3,", 0), 0u);
  EXPECT_TRUE(Logged("MONITOR: agent 127.0.0.3 (BUSY) reporting"));
  ExpectAgentReportingAndPageServed();
}

TEST_F(MonitorHostileTest, AMillionHeaderLinesCostOnlyThatRequest) {
  Start();
  std::string request = "GET /agents.json HTTP/1.1\r\nHost: x\r\n";
  request.reserve(request.size() + 12'000'000);
  for (int i = 0; i < 1'000'000; ++i) request += "X-Filler: yes\r\n";
  request += "\r\n";
  const int64_t before = ResidentMiB();
  TPeer peer(Web->Port());
  ASSERT_TRUE(peer.Connected);
  std::thread sender([&] { peer.Send(request); });  // stops when the monitor closes
  const std::string answer = peer.Receive(30000);
  sender.join();
  EXPECT_EQ(answer.rfind("HTTP/1.1 431", 0), 0u) << answer.substr(0, 200);
  EXPECT_EQ(answer.find("127.0.0.2"), std::string::npos);
  // The monitor held a bounded part of it.
  if (kResidentMeasurable) {
    EXPECT_LT(ResidentMiB() - before, 32);
  }
  ExpectAgentReportingAndPageServed();
}

TEST_F(MonitorHostileTest, AThousandTricklingClientsLeaveThePageAnswering) {
  Start();
  std::vector<std::unique_ptr<TPeer>> tricklers;
  for (int i = 0; i < 1000; ++i) {
    tricklers.push_back(std::make_unique<TPeer>(Web->Port()));
    ASSERT_TRUE(tricklers.back()->Connected);
    tricklers.back()->Send("GET /agents.json HTTP/1.1\r\n");
  }
  // A byte each from every one of them, now and then, while others ask.
  const std::string more = "X-Slow: 1\r\n";
  for (size_t byte = 0; byte < 3; ++byte) {
    for (auto& trickler : tricklers) trickler->Send(more.substr(byte, 1));
    auto list = Get("/agents.json");
    ASSERT_TRUE(list);
    EXPECT_EQ(list->status, 200);
    std::this_thread::sleep_for(500ms);
  }
  ExpectAgentReportingAndPageServed();
  // Each is let go once its request has taken too long to come.
  for (auto& trickler : tricklers) EXPECT_TRUE(trickler->ClosedByServer((TWebServer::kRequestSeconds + 20) * 1000));
}

TEST_F(MonitorHostileTest, ThreeHundredRecordsOf60KBStayWithinTheBound) {
  Start();
  // Made before the monitor's memory is measured: only what it holds counts.
  std::vector<std::string> reports;
  for (int i = 0; i < 300; ++i)
    reports.push_back(Report(std::string(30000, 'n') + std::to_string(i), std::string(30000, 's')));
  const int64_t before = ResidentMiB();
  std::vector<std::unique_ptr<TPeer>> peers;
  for (int i = 0; i < 300; ++i) {
    // Each from an address of its own: each a record.
    peers.push_back(std::make_unique<TPeer>(Status->Port(), "127.0." + std::to_string(3 + i / 250) + "." +
                                                                std::to_string(i % 250 + 1)));
    ASSERT_TRUE(peers.back()->Connected);
    ASSERT_TRUE(peers.back()->Send(reports[i]));
  }
  ASSERT_TRUE(WaitUntil([&] { return Registry->Snapshot().AgentsUp() == 301; }, 60s));
  auto metrics = Get("/metrics");
  auto list = Get("/agents.json");
  ASSERT_TRUE(metrics && list);
  // Linear in the agents, with each one's texts bounded: not 300 x 60 KB
  // repeated per metric family.
  EXPECT_LT(metrics->body.size(), 301u * 10 * 400 + 4096);
  EXPECT_LT(list->body.size(), 301u * 2048);
  if (kResidentMeasurable) {
    EXPECT_LT(ResidentMiB() - before, 32);
  }
  ExpectAgentReportingAndPageServed();
}

TEST_F(MonitorHostileTest, AHostOutsideAllowedAgentsIsNeitherListedNorAnswered) {
  Start("127.0.0.2, 127.0.5.0/24");
  TPeer outsider(Status->Port(), "127.0.0.1");
  ASSERT_TRUE(outsider.Connected);
  outsider.Send(Report("OUTSIDER", "Unassigned"));
  EXPECT_TRUE(outsider.ClosedByServer(30000));
  EXPECT_TRUE(WaitUntil([&] { return Logged("MONITOR: refused status connection from 127.0.0.1: not in allowed_agents"); }));
  TPeer inside(Status->Port(), "127.0.5.9");
  ASSERT_TRUE(inside.Send(Report("INSIDE", "Unassigned")));
  ASSERT_TRUE(WaitUntil([&] { return At("127.0.5.9").has_value(); }, 30s));
  EXPECT_FALSE(At("127.0.0.1"));

  // Discovery: answered for an allowed sender only.
  TUdpSocket answers;
  ASSERT_OK(answers.Bind(0));
  TMonitorSettings discovery = Settings;
  discovery.DiscoveryPort = 0;
  discovery.AnswerPort = answers.LocalPort();
  TDiscoveryResponder responder(System, Log, *Registry, discovery);
  ASSERT_OK(responder.Start());
  const char ping = 1;
  ASSERT_OK(TUdpSocket::SendTo("127.0.0.1", responder.Port(), &ping, 1));  // from 127.0.0.1
  ASSERT_TRUE(fake::SendDatagramFrom(0x7F000002, responder.Port(), ping));
  // In order: once 127.0.0.2 is answered, 127.0.0.1's ping has been seen.
  EXPECT_TRUE(WaitUntil([&] { return Logged("MONITOR: answered discovery from 127.0.0.2"); }, 30s));
  EXPECT_FALSE(Logged("MONITOR: answered discovery from 127.0.0.1"));
  EXPECT_EQ(Registry->Snapshot().DiscoveryAnswers, 1u);
  responder.Stop();
  ExpectAgentReportingAndPageServed();
}
