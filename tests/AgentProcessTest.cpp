// Runs the kelvra-agent executable as a child process, as a user would.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "TestSupport.h"

extern char** environ;

namespace {

// A child agent whose output goes to files in its own folder.
class TAgentProcess {
 public:
  TAgentProcess(const TTempDir& dir, std::vector<std::string> arguments, bool closeStandardOutputs = false)
      : Dir(dir) {
    std::vector<std::string> environment = {"XDG_DATA_HOME=" + (dir / "data"), "XDG_RUNTIME_DIR=" + dir.Get(),
                                            "HOME=" + dir.Get(), "PATH=/usr/bin:/bin"};
    arguments.insert(arguments.begin(), KELVRA_AGENT_PATH);
    std::vector<char*> argv, envp;
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (dir / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (closeStandardOutputs) {
      posix_spawn_file_actions_addclose(&actions, 1);
      posix_spawn_file_actions_addclose(&actions, 2);
    }
    int error = posix_spawn(&Pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("posix_spawn failed");
  }
  ~TAgentProcess() {
    if (Pid > 0) {
      ::kill(Pid, SIGKILL);
      ::waitpid(Pid, nullptr, 0);
    }
  }

  // The exit status once the child has ended within `limit`, else -1.
  int WaitExit(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(Pid, &status, WNOHANG) == Pid) {
        Pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }
  void Signal(int number) { ::kill(Pid, number); }
  std::string Out() const { return ReadTextFile(Dir / "stdout"); }
  std::string Err() const { return ReadTextFile(Dir / "stderr"); }

 private:
  const TTempDir& Dir;
  pid_t Pid = -1;
};

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
