// SPDX-License-Identifier: Apache-2.0
// The monitor's listening side over loopback: real agent processes report to
// an in-process status server, hostile peers cost only their connection,
// discovery datagrams are answered, and the kelvra-monitor program starts and
// stops.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "FakePeers.h"
#include "Monitor/T_AgentRegistry.h"
#include "Monitor/T_DiscoveryResponder.h"
#include "Monitor/T_StatusServer.h"
#include "Platform/T_UdpSocket.h"
#include "T_AgentProcess.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;

int64_t UnixMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// `text` with every port number made "N".
std::string WithoutPorts(const std::string& text) {
  return std::regex_replace(text, std::regex("(port |:)[0-9]+"), "$1N");
}

std::string HostName() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}

// An in-process status server on 127.0.0.1 and a free port, with its
// registry on the real clock, and agent processes that report to it.
struct MonitorTest : ::testing::Test {
  TRecordingSink Log;
  TLinuxSystem System;
  TMonitorSettings Settings;
  std::unique_ptr<TAgentRegistry> Registry;
  std::unique_ptr<TStatusServer> Server;
  std::vector<std::unique_ptr<TTempDir>> Dirs;
  std::vector<std::unique_ptr<TAgentProcess>> Agents;

  void StartServer(int lostAfterSeconds = 10) {
    Settings.BindIp = "127.0.0.1";
    Settings.StatusPort = 0;
    Settings.LostAfterSeconds = lostAfterSeconds;
    Registry = std::make_unique<TAgentRegistry>(UnixMs, int64_t{lostAfterSeconds} * 1000);
    Server = std::make_unique<TStatusServer>(System, Log, *Registry, Settings);
    TStatus started = Server->Start();
    ASSERT_TRUE(started) << started.Text();
    ASSERT_NE(Server->Port(), 0);
  }
  // An agent with `bindIp` whose reports go to the server.
  TAgentProcess& StartAgent(const std::string& bindIp, const std::string& agentExtra = "") {
    Dirs.push_back(std::make_unique<TTempDir>());
    const TTempDir& dir = *Dirs.back();
    WriteTextFile(dir / "kelvra.INI", SafeSettings("bind_ip=" + bindIp + "\n" + agentExtra,
                                                   "bind_port=" + std::to_string(Server->Port()) + "\n"));
    Agents.push_back(std::make_unique<TAgentProcess>(dir, std::vector<std::string>{"--headless", "--config",
                                                                                   dir / "kelvra.INI"}));
    return *Agents.back();
  }
  void TearDown() override {
    for (auto& agent : Agents) {
      if (agent->Id() <= 0) continue;
      agent->Signal(SIGCONT);
      agent->Signal(SIGTERM);
      EXPECT_EQ(agent->WaitExit(60s), 0) << agent->Err();
    }
    Agents.clear();
    if (Server) Server->Stop();
  }
  // The agent of `address` as the registry shows it now, if any.
  std::optional<TAgentView> AgentAt(const std::string& address) {
    for (const TAgentView& view : Registry->Snapshot().Agents)
      if (view.Address == address) return view;
    return std::nullopt;
  }
  bool Up(const std::string& address) {
    std::optional<TAgentView> view = AgentAt(address);
    return view && view->Up;
  }
  bool Logged(const std::string& line) {
    for (const std::string& logged : Log.Taken())
      if (logged == line + "\r") return true;
    return false;
  }
  bool WaitLogged(const std::string& line) { return WaitUntil([&] { return Logged(line); }, 60s); }
};

// A raw connection to the server, as a hostile peer would make it.
struct TRawConnection {
  int Fd = -1;
  explicit TRawConnection(uint16_t port) {
    Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(Fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(Fd);
      Fd = -1;
    }
  }
  ~TRawConnection() {
    if (Fd >= 0) ::close(Fd);
  }
  TRawConnection(const TRawConnection&) = delete;
  TRawConnection& operator=(const TRawConnection&) = delete;
  // Whether the server closes the connection within `timeoutMs`.
  bool ClosedByServer(int timeoutMs) {
    char byte;
    pollfd ready{Fd, POLLIN, 0};
    if (::poll(&ready, 1, timeoutMs) <= 0) return false;
    return ::recv(Fd, &byte, 1, 0) <= 0;
  }
};

}  // namespace

TEST_F(MonitorTest, AgentsReportFromTheirOwnAddressesAndAStoppedOneIsLost) {
  StartServer();
  const int processors = std::clamp(TLinuxSystem().AvailableProcessors(), 1, 10);
  StartAgent("127.0.0.2");
  StartAgent("127.0.0.3", "freeCPUCount=99\n");  // a pool of one
  StartAgent("127.0.0.4");
  ASSERT_TRUE(WaitUntil([&] { return Up("127.0.0.2") && Up("127.0.0.3") && Up("127.0.0.4"); }, 60s))
      << Agents[0]->Err();
  const TRegistrySnapshot snapshot = Registry->Snapshot();
  ASSERT_EQ(snapshot.Agents.size(), 3u);
  for (const TAgentView& view : snapshot.Agents) {
    EXPECT_EQ(view.Latest.ComputerName, HostName());
    EXPECT_EQ(view.Latest.Version, 265u);
    EXPECT_EQ(view.Latest.ProcessorCount, static_cast<uint32_t>(processors));
    EXPECT_EQ(view.Latest.PoolSize, view.Address == "127.0.0.3" ? 1u : static_cast<uint32_t>(processors));
    EXPECT_EQ(view.Latest.StatusText, "Unassigned");
  }
  EXPECT_TRUE(Logged("MONITOR: agent 127.0.0.3 (" + HostName() + ") reporting"));

  Agents[1]->Signal(SIGTERM);
  EXPECT_EQ(Agents[1]->WaitExit(60s), 0);
  ASSERT_TRUE(WaitUntil([&] { return !Up("127.0.0.3"); }, 60s));
  EXPECT_EQ(AgentAt("127.0.0.3")->LostReason, "connection closed");
  EXPECT_TRUE(WaitLogged("MONITOR: agent 127.0.0.3 (" + HostName() + ") lost: connection closed"));
  EXPECT_TRUE(Up("127.0.0.2") && Up("127.0.0.4"));
}

TEST_F(MonitorTest, AStoppedAgentIsLostBySilenceAndComesBackUnderItsId) {
  StartServer(2);
  TAgentProcess& agent = StartAgent("127.0.0.2");
  ASSERT_TRUE(WaitUntil([&] { return Up("127.0.0.2"); }, 60s)) << agent.Err();
  const uint64_t id = AgentAt("127.0.0.2")->Id;
  agent.Signal(SIGSTOP);
  ASSERT_TRUE(WaitLogged("MONITOR: agent 127.0.0.2 (" + HostName() + ") lost: silent for 2 s"));
  EXPECT_FALSE(Up("127.0.0.2"));
  EXPECT_EQ(AgentAt("127.0.0.2")->LostReason, "silent for 2 s");
  agent.Signal(SIGCONT);
  ASSERT_TRUE(WaitUntil([&] { return Up("127.0.0.2"); }, 60s)) << agent.Err();
  EXPECT_EQ(AgentAt("127.0.0.2")->Id, id);
  EXPECT_EQ(Registry->Snapshot().Agents.size(), 1u);
}

TEST_F(MonitorTest, HostilePeersCostOnlyTheirOwnConnection) {
  StartServer(2);
  {
    // A report, then something that is none: the agent it named is lost.
    TRawConnection peer(Server->Port());
    ASSERT_TRUE(fake::WriteAll(peer.Fd, fake::Frame("UPDATE_STATUS 265 HOSTILE 1.000 50 0 10 x 1 1")));
    ASSERT_TRUE(WaitUntil([&] { return Up("127.0.0.1"); }));
    ASSERT_TRUE(fake::WriteAll(peer.Fd, fake::Frame("UPDATE_STATUS 265 HOSTILE")));
    EXPECT_TRUE(peer.ClosedByServer(30000));
    EXPECT_TRUE(WaitLogged("MONITOR: agent 127.0.0.1 (HOSTILE) lost: malformed report: 3 items, 10 expected"));
    EXPECT_EQ(AgentAt("127.0.0.1")->LostReason, "malformed report: 3 items, 10 expected");
  }
  {
    // A frame announcing 100 MB is refused before anything is held for it.
    TRawConnection peer(Server->Port());
    ASSERT_TRUE(fake::WriteAll(peer.Fd, std::string("\x00\x00\x40\x06", 4) + "UPDATE_STATUS"));
    EXPECT_TRUE(peer.ClosedByServer(30000));
    EXPECT_TRUE(WaitLogged("MONITOR: dropped status connection from 127.0.0.1: frame of 104857600 bytes"));
  }
  {
    // Silence, and a frame that never ends, last lost_after.
    TRawConnection silent(Server->Port());
    TRawConnection trickle(Server->Port());
    ASSERT_TRUE(fake::WriteAll(trickle.Fd, std::string("\x40\x00\x00\x00", 4) + "UPDATE"));
    EXPECT_TRUE(silent.ClosedByServer(30000));
    EXPECT_TRUE(trickle.ClosedByServer(30000));
    EXPECT_TRUE(WaitLogged("MONITOR: dropped status connection from 127.0.0.1: silent for 2 s"));
  }
  {
    // Many at once, each holding a thread until it goes.
    std::vector<std::unique_ptr<TRawConnection>> many;
    for (int i = 0; i < 200; ++i) {
      many.push_back(std::make_unique<TRawConnection>(Server->Port()));
      ASSERT_GE(many.back()->Fd, 0);
      if (i % 2 == 0) fake::WriteAll(many.back()->Fd, std::string("\x10\x00", 2));
    }
    EXPECT_TRUE(WaitUntil([&] { return Registry->Snapshot().ConnectionsAccepted >= 204; }, 60s));
  }
  const TRegistrySnapshot before = Registry->Snapshot();
  EXPECT_EQ(before.ReportsRejected, 2u);
  EXPECT_EQ(before.ReportsReceived, 1u);

  // Through all of it the server goes on taking a real agent's reports.
  TAgentProcess& agent = StartAgent("127.0.0.2");
  ASSERT_TRUE(WaitUntil([&] { return Up("127.0.0.2"); }, 60s)) << agent.Err();
  EXPECT_TRUE(WaitUntil([&] { return AgentAt("127.0.0.2")->Reports >= 2; }, 60s));
}

TEST_F(MonitorTest, StopEndsEveryConnectionPromptly) {
  StartServer(60);
  std::vector<std::unique_ptr<TRawConnection>> silent;
  for (int i = 0; i < 20; ++i) silent.push_back(std::make_unique<TRawConnection>(Server->Port()));
  ASSERT_TRUE(WaitUntil([&] { return Registry->Snapshot().ConnectionsAccepted == 20; }, 60s));
  // Within a generous bound, far below the 60 s the reads would wait.
  RunBounded([&] { Server->Stop(); }, 30s, "stopping the status server");
  for (auto& connection : silent) EXPECT_TRUE(connection->ClosedByServer(5000));
}

TEST(DiscoveryResponder, ATakenPortOrARefusedThreadFailsTheStartWithTheReason) {
  TRecordingSink log;
  TFakeSystem system;
  TAgentRegistry registry(UnixMs, 10000);
  TUdpSocket taken;
  ASSERT_OK(taken.Bind(0));
  TMonitorSettings settings;
  settings.DiscoveryPort = taken.LocalPort();
  {
    TDiscoveryResponder responder(system, log, registry, settings);
    EXPECT_EQ(responder.Start().Text(), "discovery port " + std::to_string(taken.LocalPort()) +
                                            " cannot be taken: Address already in use");
  }
  settings.DiscoveryPort = 0;
  system.RefuseThreads("Discovery");
  TDiscoveryResponder responder(system, log, registry, settings);
  EXPECT_EQ(responder.Start().Text(), "discovery thread cannot be made: Resource temporarily unavailable");
}

TEST(DiscoveryResponder, AnswersEachSenderAtMostOncePerSecondByUnicast) {
  TRecordingSink log;
  TLinuxSystem system;
  TUdpSocket answers;  // where the agents listen
  ASSERT_OK(answers.Bind(0));
  TMonitorSettings settings;
  settings.DiscoveryPort = 0;
  settings.AnswerPort = answers.LocalPort();
  TAgentRegistry registry(UnixMs, 10000);
  TDiscoveryResponder responder(system, log, registry, settings);
  TStatus started = responder.Start();
  ASSERT_TRUE(started) << started.Text();

  // Five pings from 127.0.0.1 at once, then one from 127.0.0.5. They are
  // answered in order: once 127.0.0.5 has its answer, every ping of
  // 127.0.0.1 has been seen.
  const char ping = 1;
  for (int i = 0; i < 5; ++i) ASSERT_OK(TUdpSocket::SendTo("127.0.0.1", responder.Port(), &ping, 1));
  ASSERT_TRUE(fake::SendDatagramFrom(0x7F000005, responder.Port(), ping));

  const auto answered = [&](const std::string& sender) {
    const std::vector<std::string> lines = log.Taken();
    return std::count(lines.begin(), lines.end(), "MONITOR: answered discovery from " + sender + "\r");
  };
  ASSERT_TRUE(WaitUntil([&] { return answered("127.0.0.5") == 1; }, 30s));
  EXPECT_EQ(answered("127.0.0.1"), 1);
  EXPECT_EQ(registry.Snapshot().DiscoveryAnswers, 2u);
  // Both answers reached the agents' port: one byte each.
  RunBounded(
      [&] {
        char buffer[16];
        std::string sender;
        for (int i = 0; i < 2; ++i) EXPECT_EQ(answers.Receive(buffer, sizeof buffer, sender), 1);
      },
      30s, "receiving the answers");
  responder.Stop();
}

// An agent connects to the address its answer came from, so a monitor that
// listens on one address must answer from it.
TEST(DiscoveryResponder, AnswersFromItsBindAddress) {
  TRecordingSink log;
  TLinuxSystem system;
  TUdpSocket answers;
  ASSERT_OK(answers.Bind(0));
  TMonitorSettings settings;
  settings.DiscoveryPort = 0;
  settings.AnswerPort = answers.LocalPort();
  settings.BindIp = "127.0.0.6";
  TAgentRegistry registry(UnixMs, 10000);
  TDiscoveryResponder responder(system, log, registry, settings);
  TStatus started = responder.Start();
  ASSERT_TRUE(started) << started.Text();
  const char ping = 1;
  ASSERT_OK(TUdpSocket::SendTo("127.0.0.1", responder.Port(), &ping, 1));
  RunBounded(
      [&] {
        char buffer[16];
        std::string sender;
        EXPECT_EQ(answers.Receive(buffer, sizeof buffer, sender), 1);
        EXPECT_EQ(sender, "127.0.0.6");
      },
      30s, "receiving the answer");
  responder.Stop();
}

// The kelvra-monitor program, as an operator runs it.
TEST(MonitorProcess, StartsSaysWhereAndStopsOnSigterm) {
  TTempDir dir;
  WriteTextFile(dir / "monitor.ini",
                "[coordinator]\nbind_port=0\nbroadcast_port=0\n[monitor]\nbind_ip=127.0.0.1\nhttp_port=0\n");
  TAgentProcess monitor(dir, {"--config", dir / "monitor.ini"}, false, "", {}, KELVRA_MONITOR_PATH);
  ASSERT_TRUE(WaitUntil([&] { return monitor.Out().find('\n') != std::string::npos; }, 30s)) << monitor.Err();
  EXPECT_EQ(WithoutPorts(monitor.Out()),
            "kelvra-monitor: status reports on port N, discovery on port N, web page on http://127.0.0.1:N/\n");
  // An agent reports to it.
  const std::string statusPort = monitor.Out().substr(std::strlen("kelvra-monitor: status reports on port "));
  TTempDir agentDir;
  WriteTextFile(agentDir / "kelvra.INI",
                SafeSettings("bind_ip=127.0.0.2\n", "bind_port=" + std::to_string(std::stoi(statusPort)) + "\n"));
  TAgentProcess agent(agentDir, {"--headless", "--config", agentDir / "kelvra.INI"});
  const std::string reporting = "MONITOR: agent 127.0.0.2 (" + HostName() + ") reporting\r\n";
  EXPECT_TRUE(WaitUntil([&] { return monitor.Err().find(reporting) != std::string::npos; }, 60s)) << monitor.Err();
  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.WaitExit(60s), 0);
  monitor.Signal(SIGTERM);
  EXPECT_EQ(monitor.WaitExit(30s), 0) << monitor.Err();
}

TEST(MonitorProcess, ATakenPortIsNamedAndTheProgramFails) {
  TTempDir dir;
  uint16_t port = 0;
  const int taken = fake::Listen(0, port);
  WriteTextFile(dir / "monitor.ini", "[coordinator]\nbind_port=" + std::to_string(port) +
                                         "\nbroadcast_port=0\n[monitor]\nbind_ip=127.0.0.1\nhttp_port=0\n");
  TAgentProcess monitor(dir, {"--config", dir / "monitor.ini"}, false, "", {}, KELVRA_MONITOR_PATH);
  EXPECT_EQ(monitor.WaitExit(30s), 1);
  EXPECT_EQ(monitor.Err(), "kelvra-monitor: status port " + std::to_string(port) +
                               " on 127.0.0.1 cannot be taken: Windows socket error: Address already in use (98), "
                               "on API 'bind'\n");
  EXPECT_EQ(monitor.Out(), "");
  ::close(taken);
}
