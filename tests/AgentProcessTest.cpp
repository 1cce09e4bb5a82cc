// SPDX-License-Identifier: Apache-2.0
// Runs the kelvra-agent executable as a child process, as a user would.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "FakePeers.h"
#include "Platform/T_UdpSocket.h"
#include "T_AgentProcess.h"
#include "TestSupport.h"

namespace {

constexpr auto kGenerous = std::chrono::seconds(30);

// A UDP port held by the test, so the agent's broadcast listener cannot
// have it and logs one line at start.
struct TakenBroadcastPort {
  TUdpSocket Socket;
  TakenBroadcastPort() {
    if (TStatus bound = Socket.Bind(0); !bound) throw std::runtime_error(bound.Text());
  }
  std::string Port() const { return std::to_string(Socket.LocalPort()); }
  std::string Setting() const { return "broadcast_port=" + Port() + "\n"; }
};

}  // namespace

class AgentProcessSignal : public ::testing::TestWithParam<int> {};

TEST_P(AgentProcessSignal, StaysUpAndExitsCleanly) {
  TTempDir dir;
  WriteTextFile(dir / "kelvra.INI", SafeSettings());
  TAgentProcess agent(dir, {"--headless", "--config", dir / "kelvra.INI"});
  EXPECT_EQ(agent.WaitExit(std::chrono::milliseconds(500)), -1) << agent.Err();
  agent.Signal(GetParam());
  EXPECT_EQ(agent.WaitExit(kGenerous), 0) << agent.Err();
  EXPECT_TRUE(std::filesystem::is_directory(dir / "data/kelvra/TEMP"));
}

INSTANTIATE_TEST_SUITE_P(ShutdownSignals, AgentProcessSignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP));

TEST(AgentProcess, DebugLogGoesToStandardErrorLineByLine) {
  TTempDir dir;
  TakenBroadcastPort taken;
  WriteTextFile(dir / "kelvra.INI", SafeSettings("enableDebugOutput=1\n" + taken.Setting()));
  TAgentProcess agent(dir, {"--headless", "--config=" + (dir / "kelvra.INI")});
  ASSERT_TRUE(WaitUntil([&] { return !agent.Out().empty(); }, kGenerous)) << "started";
  agent.Signal(SIGTERM);
  ASSERT_EQ(agent.WaitExit(kGenerous), 0);
  // With sessions in processes, the first line tells what confines them.
  std::string log = agent.Err();
  if (log.rfind("AGENT: Sessions run in processes of their own", 0) == 0) log.erase(0, log.find("\r\n") + 2);
  EXPECT_EQ(log, "AGENT: Unable to create UDP server socket on port " + taken.Port() + "\r\n");
}

TEST(AgentProcess, VersionHelpAndBadArguments) {
  TTempDir dir;
  {
    TAgentProcess agent(dir, {"--version"});
    EXPECT_EQ(agent.WaitExit(kGenerous), 0);
    EXPECT_EQ(agent.Out(), "kelvra agent v.109\n");
  }
  {
    TAgentProcess agent(dir, {"--help"});
    EXPECT_EQ(agent.WaitExit(kGenerous), 0);
    EXPECT_NE(agent.Out().find("--config FILE"), std::string::npos);
  }
  {
    TAgentProcess agent(dir, {"--bogus"});
    EXPECT_EQ(agent.WaitExit(kGenerous), 2);
    EXPECT_NE(agent.Err().find("unknown argument '--bogus'"), std::string::npos);
  }
}

TEST(AgentProcess, RunsWithStandardOutputAndErrorClosed) {
  TTempDir dir;
  TakenBroadcastPort taken;  // a debug line to write at start
  WriteTextFile(dir / "kelvra.INI", SafeSettings("enableDebugOutput=1\n" + taken.Setting()));
  TAgentProcess agent(dir, {"--headless", "--config", dir / "kelvra.INI"}, true);
  EXPECT_EQ(agent.WaitExit(std::chrono::milliseconds(500)), -1);
  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.WaitExit(kGenerous), 0);
}

TEST(AgentProcess, OneAgentPerUser) {
  TTempDir first, second, third;
  WriteTextFile(first / "kelvra.INI", SafeSettings());
  WriteTextFile(second / "kelvra.INI", SafeSettings());
  WriteTextFile(third / "kelvra.INI", SafeSettings());
  TAgentProcess running(first, {"--headless", "--config", first / "kelvra.INI"});
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(first / "kelvraagent.lock"); }, std::chrono::seconds(30)));
  // The same user (same runtime folder): ends at once, saying nothing.
  TAgentProcess again(second, {"--headless", "--config", second / "kelvra.INI"}, false, first.Get());
  EXPECT_EQ(again.WaitExit(kGenerous), 0);
  EXPECT_EQ(again.Out(), "");
  EXPECT_EQ(again.Err(), "");
  // Another user (another runtime folder, other ports): both run.
  TAgentProcess other(third, {"--headless", "--config", third / "kelvra.INI"});
  EXPECT_EQ(other.WaitExit(std::chrono::milliseconds(1000)), -1) << other.Err();
  other.Signal(SIGTERM);
  running.Signal(SIGTERM);
  EXPECT_EQ(other.WaitExit(kGenerous), 0);
  EXPECT_EQ(running.WaitExit(kGenerous), 0);
}

TEST(AgentProcess, ATakenLobbyPortIsReportedAndTheProcessFails) {
  TTempDir dir;
  uint16_t port = 0;
  int taken = fake::Listen(0, port);
  WriteTextFile(dir / "kelvra.INI", SafeSettings("bind_port=" + std::to_string(port) + "\n"));
  TAgentProcess agent(dir, {"--headless", "--config", dir / "kelvra.INI"});
  EXPECT_EQ(agent.WaitExit(kGenerous), 1);
  EXPECT_EQ(agent.Err(), "kelvra-agent: Windows socket error: Address already in use (98), on API 'bind'\n");
  ::close(taken);
}

TEST(AgentProcess, HeadlessPrintsTheStatusTextWhenItChanges) {
  TTempDir dir;
  WriteTextFile(dir / "kelvra.INI", SafeSettings());
  TAgentProcess agent(dir, {"--headless", "--config", dir / "kelvra.INI"});
  ASSERT_TRUE(WaitUntil([&] { return !agent.Out().empty(); }, std::chrono::seconds(30)));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  agent.Signal(SIGTERM);
  ASSERT_EQ(agent.WaitExit(kGenerous), 0);
  std::istringstream lines(agent.Out());
  std::string line, previous;
  int count = 0;
  while (std::getline(lines, line)) {
    EXPECT_EQ(line.rfind("Unassigned", 0), 0u) << line;
    EXPECT_NE(line, previous) << "only changes are printed";
    previous = line;
    ++count;
  }
  EXPECT_GE(count, 1);
}

TEST(AgentProcess, AnOverLongBindAddressRefusesToStart) {
  // Dropping it would open the lobby on every address.
  TTempDir dir;
  WriteTextFile(dir / "kelvra.INI", SafeSettings("bind_ip=1999.999.999.999.999\n"));
  TAgentProcess agent(dir, {"--headless", "--config", dir / "kelvra.INI"});
  EXPECT_EQ(agent.WaitExit(kGenerous), 1);
  EXPECT_EQ(agent.Err(),
            "kelvra-agent: [agent] bind_ip=1999.999.999.999.999: an address has at most 19 characters; not starting "
            "rather than listening on every address\n");
  EXPECT_EQ(agent.Out(), "");
}

// Running every library would not be what the owner asked for: a key file
// the agent cannot use stops the start, naming the file and why.
TEST(AgentProcess, ATrustedKeysFileWithoutAUsableKeyRefusesToStart) {
  TTempDir dir;
  WriteTextFile(dir / "comments.pub", "untrusted comment: nothing here\n");
  WriteTextFile(dir / "bad.pub", "untrusted comment: minisign public key\nRWQ this is no key\n");
  const std::string refusal = "; not starting rather than running unsigned libraries\n";
  const std::pair<std::string, std::string> cases[] = {
      {dir / "missing.pub", "cannot read " + (dir / "missing.pub") + ": No such file or directory"},
      {dir / "comments.pub", "no minisign public key in the file"},
      {dir / "bad.pub", "line 2 is no minisign public key"},
  };
  for (const auto& [file, why] : cases) {
    WriteTextFile(dir / "kelvra.INI", SafeSettings("trusted_keys=" + file + "\n"));
    TAgentProcess agent(dir, {"--headless", "--config", dir / "kelvra.INI"});
    EXPECT_EQ(agent.WaitExit(kGenerous), 1);
    EXPECT_EQ(agent.Err(), "kelvra-agent: [agent] trusted_keys=" + file + ": " + why + refusal);
  }
}

TEST(AgentProcess, TheProcessKeepsItsName) {
  // ps, pgrep -x, killall and systemd know the agent by this name.
  TTempDir dir;
  WriteTextFile(dir / "kelvra.INI", SafeSettings());
  TAgentProcess agent(dir, {"--headless", "--config", dir / "kelvra.INI"});
  ASSERT_TRUE(WaitUntil([&] { return !agent.Out().empty(); }, kGenerous)) << agent.Err();
  EXPECT_EQ(ReadTextFile("/proc/" + std::to_string(agent.Id()) + "/comm"), "kelvra-agent\n");
  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.WaitExit(kGenerous), 0);
}

TEST(AgentProcess, WhatAnEarlierRunLeftIsRemovedAtStartAndNoLinkIsFollowed) {
  TTempDir dir;
  const std::string temp = dir / "data/kelvra/TEMP";
  std::filesystem::create_directories(temp + "/127.0.0.1/00007FA800000BF0");
  WriteTextFile(temp + "/127.0.0.1/00007FA800000BF0/libtask.so", "left behind");
  WriteTextFile(temp + "/stray.tmp", "");
  std::filesystem::create_directories(dir / "outside");
  WriteTextFile(dir / "outside/keep", "not the agent's");
  std::filesystem::create_directory_symlink(dir / "outside", temp + "/127.0.0.1/link");
  std::filesystem::create_symlink(dir / "outside/keep", temp + "/file-link");
  WriteTextFile(dir / "kelvra.INI", SafeSettings());
  TAgentProcess agent(dir, {"--headless", "--config", dir / "kelvra.INI"});
  ASSERT_TRUE(WaitUntil([&] { return !agent.Out().empty(); }, kGenerous)) << agent.Err();
  EXPECT_TRUE(std::filesystem::is_directory(temp));
  EXPECT_TRUE(std::filesystem::is_empty(temp));
  EXPECT_EQ(ReadTextFile(dir / "outside/keep"), "not the agent's");
  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.WaitExit(kGenerous), 0);
}

// A headless agent, asked for or for want of a display, maps no Qt library:
// the window and Qt come only with the window module.
TEST(AgentProcess, AHeadlessAgentMapsNoQtLibrary) {
  for (const bool asked : {true, false}) {
    SCOPED_TRACE(asked ? "--headless" : "no display named");
    TTempDir dir;
    WriteTextFile(dir / "kelvra.INI", SafeSettings());
    std::vector<std::string> arguments{"--config", dir / "kelvra.INI"};
    if (asked) arguments.insert(arguments.begin(), "--headless");
    TAgentProcess agent(dir, arguments);
    ASSERT_TRUE(WaitUntil([&] { return !agent.Out().empty(); }, kGenerous)) << agent.Err();
    EXPECT_FALSE(agent.Maps("libQt6"));
    EXPECT_FALSE(agent.Maps("kelvra-agent-window"));
    agent.Signal(SIGTERM);
    EXPECT_EQ(agent.WaitExit(kGenerous), 0) << agent.Err();
  }
}

#if KELVRA_HAVE_GUI_BUILD
// The window module beside the executable brings Qt when a window is shown
// (offscreen here: no display needed).
TEST(AgentProcess, AWindowedAgentLoadsTheWindowModule) {
  TTempDir dir;
  WriteTextFile(dir / "kelvra.INI", SafeSettings());
  TAgentProcess agent(dir, {"--config", dir / "kelvra.INI"}, false, "", {"QT_QPA_PLATFORM=offscreen"});
  EXPECT_TRUE(WaitUntil([&] { return agent.Maps("kelvra-agent-window.so") && agent.Maps("libQt6Widgets"); },
                        kGenerous))
      << agent.Err();
  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.WaitExit(kGenerous), 0) << agent.Err();
  EXPECT_EQ(agent.Out(), "") << "the headless loop prints the status text, the window does not";
}

// An agent whose window module is missing says so and runs headless, as
// when the named X display does not answer.
TEST(AgentProcess, AWindowWhoseModuleCannotBeLoadedMeansHeadless) {
  TTempDir dir;
  const std::string executable = dir / "kelvra-agent";
  std::filesystem::copy_file(KELVRA_AGENT_PATH, executable);
  WriteTextFile(dir / "kelvra.INI", SafeSettings());
  TAgentProcess agent(dir, {"--config", dir / "kelvra.INI"}, false, "", {"QT_QPA_PLATFORM=offscreen"}, executable);
  ASSERT_TRUE(WaitUntil([&] { return !agent.Out().empty(); }, kGenerous)) << agent.Err();
  EXPECT_EQ(agent.Out().rfind("Unassigned", 0), 0u) << agent.Out();
  const std::string err = agent.Err();
  const std::string start = "kelvra-agent: cannot load the window module: ";
  const size_t at = err.find(start);
  ASSERT_NE(at, std::string::npos) << err;
  const std::string line = err.substr(at, err.find('\n', at) - at);
  EXPECT_NE(line.find("kelvra-agent-window.so: "), std::string::npos) << line;
  EXPECT_TRUE(line.ends_with("; running headless")) << line;
  EXPECT_FALSE(agent.Maps("libQt6"));
  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.WaitExit(kGenerous), 0) << agent.Err();
}
#endif

// The status connection leaves from bind_ip, so a coordinator tells apart
// agents of one machine by the address users reach them at; without it,
// from the address the system chooses.
TEST(AgentProcess, StatusReportsLeaveFromTheBindAddress) {
  for (const std::string bindIp : {"127.0.0.2", ""}) {
    TTempDir dir;
    fake::TFramedServer coordinator;
    WriteTextFile(dir / "kelvra.INI",
                  SafeSettings(bindIp.empty() ? "" : "bind_ip=" + bindIp + "\n",
                               "bind_port=" + std::to_string(coordinator.Port()) + "\n"));
    TAgentProcess agent(dir, {"--headless", "--config", dir / "kelvra.INI"});
    ASSERT_FALSE(coordinator.WaitFor(1, 30000).empty()) << agent.Err();
    EXPECT_EQ(coordinator.PeerAddresses().at(0), bindIp.empty() ? "127.0.0.1" : bindIp);
    agent.Signal(SIGTERM);
    EXPECT_EQ(agent.WaitExit(kGenerous), 0) << agent.Err();
  }
}
