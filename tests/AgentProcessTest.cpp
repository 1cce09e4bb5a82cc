// Runs the kelvra-agent executable as a child process, as a user would.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "AgentProcess.h"
#include "TestSupport.h"

namespace {

constexpr auto kGenerous = std::chrono::seconds(30);

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
  WriteTextFile(dir / "kelvra.INI", SafeSettings("enableDebugOutput=1\nbind_ip=1999.999.999.999.999\n"));
  TAgentProcess agent(dir, {"--headless", "--config=" + (dir / "kelvra.INI")});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  agent.Signal(SIGTERM);
  ASSERT_EQ(agent.WaitExit(kGenerous), 0);
  EXPECT_EQ(agent.Err(),
            "AGENT: Ignoring [agent] bind_ip=1999.999.999.999.999: an address has at most 19 characters\r\n");
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
  WriteTextFile(dir / "kelvra.INI", SafeSettings("enableDebugOutput=1\nbind_ip=1999.999.999.999.999\n"));
  TAgentProcess agent(dir, {"--headless", "--config", dir / "kelvra.INI"}, true);
  EXPECT_EQ(agent.WaitExit(std::chrono::milliseconds(500)), -1);
  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.WaitExit(kGenerous), 0);
}
