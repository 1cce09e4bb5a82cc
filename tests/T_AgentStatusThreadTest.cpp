// SPDX-License-Identifier: Apache-2.0
// The status thread against a fake coordinator on 127.0.0.1. Every agent
// here keeps its coordinator address (allowDiscardCoordinatorIp=0), so none
// ever searches or broadcasts; discovery is tested in a private network
// namespace (NetworkNamespaceTest.cpp).
#include "AgentOptions.h"
#include "Agent/T_AgentStatusThread.h"

#include <gtest/gtest.h>

#include <locale>

#include "Agent/T_Agent.h"
#include "Agent/T_MainThreadQueue.h"
#include "CommandTextSupport.h"
#include "FakePeers.h"
#include "Platform/T_UdpSocket.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;

struct StatusThreadTest : ::testing::Test {
  TTempDir Dir;
  TTestPlatform Platform;
  TMainThreadQueue MainThread;
  fake::TFramedServer Coordinator;

  std::string Settings(const std::string& agentExtra = "") {
    return SafeSettings(agentExtra, "bind_port=" + std::to_string(Coordinator.Port()) + "\n");
  }
  std::unique_ptr<TAgent> Start(const std::string& settings) {
    Platform.System.DataFolder = Dir / "data";
    WriteTextFile(Dir / "kelvra.INI", settings);
    return std::make_unique<TAgent>(Platform.Get(), Dir / "kelvra.INI", MainThread, TestAgentOptions());
  }
  // Serves the main thread's hand-overs while waiting, as the runner does.
  bool Serve(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    return ServeMainThreadUntil(MainThread, condition, timeout);
  }
};

}  // namespace

TEST(StatusReport, ItemsInOrder) {
  std::string report = TAgentStatusThread::BuildStatusReport("WORKSTATION7", 2.4f, 97, 0, 1536, "Unassigned", 2, 2);
  EXPECT_EQ(SplitCommandItems(report), (std::vector<std::string>{"UPDATE_STATUS", "265", "WORKSTATION7", "2.400",
                                                                 "97", "0", "1536", "Unassigned", "2", "2"}));
  EXPECT_EQ(report, "UPDATE_STATUS 265 WORKSTATION7 2.400 97 0 1536 Unassigned 2 2");
}

TEST(StatusReport, FreeTextIsEncodedAndAnEmptyNameLeavesTwoSpaces) {
  std::string report = TAgentStatusThread::BuildStatusReport(
      "", 3.2f, 5, 90, 100, "Working for 10.0.0.7[1*] [suspended, 3]", 4, 3);
  EXPECT_EQ(report, "UPDATE_STATUS 265  3.200 5 90 100 Working+for+10.0.0.7%5b1*%5d+%5bsuspended%2c+3%5d 4 3");
}

TEST(StatusReport, DecimalsUseAFullStopWhateverTheLocale) {
  struct TCommaDecimal : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
  };
  std::locale previous = std::locale::global(std::locale(std::locale::classic(), new TCommaDecimal));
  std::string report = TAgentStatusThread::BuildStatusReport("W", 2.4f, 97, 0, 1536, "Unassigned", 2, 2);
  std::string summary = TAgentStatusThread::FormatLoadSummary(2.4f, 50, 40, 7);
  std::locale::global(previous);
  EXPECT_EQ(SplitCommandItems(report)[3], "2.400");
  EXPECT_EQ(summary, "1.2 1.0 7");
}

TEST(StatusReport, LoadSummary) {
  EXPECT_EQ(TAgentStatusThread::FormatLoadSummary(2.4f, 0, 97, 1536), "0.0 2.3 1536");
  EXPECT_EQ(TAgentStatusThread::FormatLoadSummary(3.2f, 50, 40, 100), "1.6 1.3 100");
  EXPECT_EQ(TAgentStatusThread::FormatLoadSummary(0, 0, 0, 0), "0.0 0.0 0");
}

TEST_F(StatusThreadTest, ReportsToTheCoordinatorAboutEverySecond) {
  auto started = std::chrono::steady_clock::now();
  auto agent = Start(Settings());
  auto reports = Coordinator.WaitFor(1, 5000);
  ASSERT_GE(reports.size(), 1u);
  EXPECT_LT(reports[0].At - started, 3s) << "the first report should come within a few hundred ms";
  reports = Coordinator.WaitFor(4, 15000);
  ASSERT_GE(reports.size(), 4u);
  for (size_t i = 1; i < 4; ++i) {
    auto gap = reports[i].At - reports[i - 1].At;
    EXPECT_GT(gap, 900ms);
    EXPECT_LT(gap, 5s);
  }
  std::vector<std::string> items = SplitCommandItems(reports[3].Text);
  ASSERT_EQ(items.size(), 10u) << reports[3].Text;
  EXPECT_EQ(items[0], "UPDATE_STATUS");
  EXPECT_EQ(items[1], "265");
  EXPECT_EQ(Decoded(items[7]), "Unassigned");  // reporting: no coordinator suffix
  EXPECT_EQ(items[9], "4");                           // the pool of the fake 4-processor machine
  EXPECT_EQ(agent->CoordinatorState() == csReporting || agent->CoordinatorState() == csReportWait, true);
  EXPECT_EQ(agent->GetStatusText(), "Unassigned");
  EXPECT_EQ(Coordinator.Connections(), 1);
}

TEST_F(StatusThreadTest, AKeptAddressIsRetriedAfterTheConnectionBreaks) {
  auto agent = Start(Settings());
  ASSERT_GE(Coordinator.WaitFor(1, 5000).size(), 1u);
  Coordinator.DropConnection();
  ASSERT_TRUE(WaitUntil([&] { return Coordinator.Connections() >= 2; }, 20s));
  size_t before = Coordinator.WaitFor(0, 0).size();
  EXPECT_GT(Coordinator.WaitFor(before + 1, 10000).size(), before);
  EXPECT_EQ(agent->Config().GetCoordinatorIp(), "127.0.0.1");
}

TEST_F(StatusThreadTest, ADeadCoordinatorIsTriedOnEveryPass) {
  Coordinator.StopListening();
  auto agent = Start(Settings());
  // Never reporting; the address stays and the text says so.
  ASSERT_TRUE(WaitUntil([&] { return agent->CoordinatorState() == csConnecting; }, 5s));
  EXPECT_EQ(agent->Config().GetCoordinatorIp(), "127.0.0.1");
  std::string text = agent->GetStatusText();
  EXPECT_TRUE(text == "Unassigned, connecting to coordinator..." || text == "Unassigned, searching for coordinator...")
      << text;
}

// Shutdown does not wait for a coordinator that never answers the connect.
TEST_F(StatusThreadTest, StopCancelsAConnectTheCoordinatorNeverAnswers) {
  fake::TUnansweredListener silent;
  ASSERT_NE(silent.Port(), 0);
  auto agent = Start(SafeSettings("", "bind_port=" + std::to_string(silent.Port()) + "\n"));
  ASSERT_TRUE(WaitUntil([&] { return agent->CoordinatorState() == csConnecting; }, 5s));
  const auto begun = std::chrono::steady_clock::now();
  agent.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begun, 15s) << "the connect would wait 20 s";
}

TEST_F(StatusThreadTest, ABroadcastWhileReportingIsLoggedAndChangesNothing) {
  const std::string settings = Settings("enableDebugOutput=1\n");
  auto agent = Start(settings);
  ASSERT_GE(Coordinator.WaitFor(1, 5000).size(), 1u);
  ASSERT_NE(agent->StatusThread()->BroadcastPort(), 0);
  ASSERT_OK(TUdpSocket::SendTo("127.0.0.1", agent->StatusThread()->BroadcastPort(), "\x01", 1));
  auto logged = [&] {
    for (const std::string& line : Platform.Debug.Taken())
      if (line == "AGENT: Got broadcast from coordinator 127.0.0.1: 1 bytes\r") return true;
    return false;
  };
  ASSERT_TRUE(Serve(logged, 10s));
  EXPECT_EQ(ReadTextFile(Dir / "kelvra.INI"), settings);
  EXPECT_EQ(agent->Config().GetCoordinatorIp(), "127.0.0.1");
}

TEST_F(StatusThreadTest, ATakenBroadcastPortIsLoggedAndTheAgentRunsOn) {
  TUdpSocket taken;
  ASSERT_OK(taken.Bind(0));
  const std::string port = std::to_string(taken.LocalPort());
  auto agent = Start(SafeSettings("enableDebugOutput=1\nisolation=thread\nbroadcast_port=" + port + "\n",
                                  "bind_port=" + std::to_string(Coordinator.Port()) + "\n"));
  EXPECT_EQ(Platform.Debug.Taken().at(0), "AGENT: Unable to create UDP server socket on port " + port + "\r");
  EXPECT_EQ(agent->StatusThread()->BroadcastPort(), 0);
  EXPECT_GE(Coordinator.WaitFor(1, 5000).size(), 1u);
}

TEST_F(StatusThreadTest, StopsPromptlyWhileAMeterHandOverWaits) {
  // Stopping from the main thread must serve a hand-over the status thread
  // waits for; here the listener's hand-over stands in for it.
  auto agent = Start(Settings());
  ASSERT_OK(TUdpSocket::SendTo("127.0.0.1", agent->StatusThread()->BroadcastPort(), "x", 1));
  ASSERT_TRUE(WaitReadable({MainThread.WakeDescriptor()}, 10000));
  auto begun = std::chrono::steady_clock::now();
  agent.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begun, 10s);
}

namespace {

// A machine whose tick count fails once `Fail` is set: the status thread's
// next pass then leaves its body with an error.
class TFailingTickMachine : public TLinuxMachine {
 public:
  std::atomic<bool> Fail{false};
  uint32_t TickCount() override {
    if (Fail) throw std::runtime_error("no tick count");
    return TLinuxMachine::TickCount();
  }
};

}  // namespace

TEST_F(StatusThreadTest, AStatusThreadEndedByAnErrorDoesNotHoldShutdown) {
  TFailingTickMachine machine;
  TPlatform platform = Platform.Get();
  platform.Machine = &machine;
  Platform.System.DataFolder = Dir / "data";
  WriteTextFile(Dir / "kelvra.INI", Settings());
  // The owner's thread is the agent's main thread, so that a shutdown that
  // hangs shows as a failure.
  RunBounded(
      [&] {
        TMainThreadQueue mainThread;
        TAgent agent(platform, Dir / "kelvra.INI", mainThread, TestAgentOptions());
        ASSERT_GE(Coordinator.WaitFor(1, 10000).size(), 1u);
        machine.Fail = true;
        ASSERT_TRUE(WaitUntil(
            [&] {
              auto lines = Platform.Debug.Taken();
              return std::find(lines.begin(), lines.end(), "Unhandled error in Status thread: no tick count") !=
                     lines.end();
            },
            30s));
      },
      120s, "shutdown after the status thread failed");
}

TEST_F(StatusThreadTest, AStatusThreadTheSystemRefusesFailsTheAgentsStart) {
  Platform.System.RefuseThreads("Status thread");
  RunBounded([&] { EXPECT_THROW(Start(Settings()), std::system_error); }, 120s, "a failed start");
  EXPECT_EQ(Platform.System.RefusedThreads(), 1);
}
