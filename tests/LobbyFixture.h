// SPDX-License-Identifier: Apache-2.0
// The agent as a process for tests of its lobby and sessions: a fixture
// that starts a headless (or windowed) kelvra-agent against a fake user and
// a fake coordinator on loopback, reads its log and the reports each task
// got. Every agent started here keeps its coordinator address.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "CommandTextSupport.h"
#include "FakePeers.h"
#include "T_AgentProcess.h"
#include "TestSupport.h"

struct LobbyTest : ::testing::Test {
  TTempDir Dir;
  fake::TFakeUser User;
  fake::TFramedServer Coordinator;
  uint16_t LobbyPort = fake::FreePort();
  std::unique_ptr<TAgentProcess> Agent;
  // Changes to the agent's environment (see TAgentProcess). The windowed
  // agent draws offscreen unless a test says otherwise: no display needed.
  std::vector<std::string> Environment{"QT_QPA_PLATFORM=offscreen"};

  // `coordinatorPort` and `dataPort` replace the fake coordinator's and the
  // fake user's ports when given. Ready once a probe connection makes the
  // agent log `readyLine`.
  void Start(const std::string& agentExtra = "", bool windowed = false, uint16_t coordinatorPort = 0,
             uint16_t dataPort = 0,
             const std::string& readyLine = "AGENTPEER: Connecting to user data port, IP=127.0.0.1") {
    User.AddFile("LIBTASKLIB_TASKS.SO", ReadTextFile(KELVRA_TASKLIB_TASKS));
    WriteTextFile(Dir / "kelvra.INI",
                  "[agent]\n" + agentExtra + TestIsolation() + "bind_port=" + std::to_string(LobbyPort) +
                      "\nenableDebugOutput=1\nexplicitCPU=0\nsuspend_timeout=0\nbroadcast_port=0\n"
                      "[coordinator]\ncoordinator_ip=127.0.0.1\nallowDiscardCoordinatorIp=0\nbind_port=" +
                      std::to_string(coordinatorPort != 0 ? coordinatorPort : Coordinator.Port()) +
                      "\n[user]\ndata_port=" + std::to_string(dataPort != 0 ? dataPort : User.Port()) + "\n");
    std::vector<std::string> arguments{"--config", Dir / "kelvra.INI"};
    if (!windowed) arguments.insert(arguments.begin(), "--headless");
    Agent = std::make_unique<TAgentProcess>(Dir, arguments, false, "", Environment);
    // Ready once a connection reaches this agent: its log shows the session
    // (a port chosen free a moment ago could have been taken by another).
    ASSERT_TRUE(WaitUntil(
        [&] {
          fake::TLobbyClient probe("127.0.0.1", LobbyPort);
          return probe.Connected && WaitLogged(readyLine, std::chrono::seconds(2));
        },
        std::chrono::seconds(60)))
        << Agent->Err();
  }
  void TearDown() override {
    if (Agent) {
      Agent->Signal(SIGTERM);
      EXPECT_EQ(Agent->WaitExit(std::chrono::seconds(60)), 0) << Agent->Err();
    }
  }
  bool Logged(const std::string& line) { return Agent->Err().find(line + "\r\n") != std::string::npos; }
  size_t TimesLogged(const std::string& line) {
    const std::string log = Agent->Err();
    size_t count = 0;
    for (size_t at = log.find(line + "\r\n"); at != std::string::npos; at = log.find(line + "\r\n", at + 1)) ++count;
    return count;
  }
  // Sessions that the coordinator's latest report lists ("Working for
  // 127.0.0.1[], 127.0.0.1[3]" lists two).
  size_t SessionsReported() {
    const std::string status = ReportedStatus();
    size_t count = 0;
    for (size_t at = status.find("127.0.0.1["); at != std::string::npos; at = status.find("127.0.0.1[", at + 1))
      ++count;
    return count;
  }
  // The status text of the coordinator's latest report.
  std::string ReportedStatus() {
    auto reports = Coordinator.WaitFor(0, 0);
    if (reports.empty()) return "";
    std::vector<std::string> items = SplitCommandItems(reports.back().Text);
    return items.size() > 7 ? Decoded(items[7]) : "";
  }
  // Until a status report says `status` (reports come about once a second):
  // a session ends in the status only once all of it has ended, its process
  // too.
  bool WaitReportedStatus(const std::string& status, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    return WaitUntil([&] { return ReportedStatus() == status; }, limit);
  }
  bool WaitLogged(const std::string& line, std::chrono::milliseconds limit = std::chrono::seconds(90)) {
    return WaitUntil([&] { return Logged(line); }, limit);
  }
  // Reports on the data port for task `id`.
  std::vector<fake::TFakeUser::TRequest> ReportsOf(uint32_t id) {
    std::vector<fake::TFakeUser::TRequest> found;
    for (const auto& request : User.Taken()) {
      std::vector<std::string> items = SplitCommandItems(request.Text);
      if (items.size() >= 2 && (items[0] == "TASK_DONE" || items[0] == "TASK_FAILED") &&
          items[1] == std::to_string(id))
        found.push_back(request);
    }
    return found;
  }
  bool WaitReport(uint32_t id) { return WaitUntil([&] { return !ReportsOf(id).empty(); }, std::chrono::seconds(90)); }

  // SIGTERM while a task runs: the process ends only after the task's report.
  void ExpectShutdownWaitsForARunningTask() {
    fake::TLobbyClient user("127.0.0.1", LobbyPort);
    ASSERT_TRUE(user.RunTask("RUN_TASK,9,libtasklib_tasks.so,WaitForAbort", ""));
    ASSERT_TRUE(WaitLogged("POOLTHREAD: running task 9"));
    Agent->Signal(SIGTERM);
    EXPECT_EQ(Agent->WaitExit(std::chrono::seconds(60)), 0) << Agent->Err();
    EXPECT_EQ(ReportsOf(9).size(), 1u) << "reported before the process ended";
    Agent.reset();
  }
};

// The message of a TASK_FAILED report, decoded.
inline std::string FailureText(const fake::TFakeUser::TRequest& report) {
  std::vector<std::string> items = SplitCommandItems(report.Text);
  return items.size() == 3 && items[0] == "TASK_FAILED" ? Decoded(items[2]) : "<not failed: " + report.Text + ">";
}
