// SPDX-License-Identifier: Apache-2.0
// Sessions in processes of their own, against real agent processes: what a
// confined task may do to the account, the agent and the network, and what
// the settings open; how the agent answers for a session process that ends
// (exit, a signal, a broken heap); the session memory bound; shutdown with
// session processes running. The acts come from tasklib_confine, which
// answers each as "ok" or "errno N".
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "FakePeers.h"
#include "LobbyFixture.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;

const std::string kDenied[] = {"errno " + std::to_string(EACCES), "errno " + std::to_string(EPERM)};
const std::string kEndedPrefix = "Session process ended: ";

// Whether `outcome` is an act the kernel refused.
::testing::AssertionResult IsDenied(const std::string& outcome) {
  if (outcome == kDenied[0] || outcome == kDenied[1]) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "answered \"" << outcome << "\", not EACCES or EPERM";
}

// What a task answered: its output when it was done, else "failed: " and
// the text of its failure.
std::string Outcome(const fake::TFakeUser::TRequest& report) {
  if (report.Text.rfind("TASK_DONE ", 0) == 0) return report.Block;
  return "failed: " + FailureText(report);
}

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Whether process `pid` still runs (neither gone nor a zombie).
bool Runs(pid_t pid) {
  const std::string stat = ReadTextFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t at = stat.rfind(") ");
  return at != std::string::npos && at + 2 < stat.size() && stat[at + 2] != 'Z';
}

struct IsolationTest : LobbyTest {
  // The agent's session processes (its child processes).
  std::vector<pid_t> SessionProcesses() const {
    std::vector<pid_t> tree = Agent->ProcessTree();
    return {tree.begin() + 1, tree.end()};
  }
  void StartWith(const std::string& agentExtra) {
    User.AddFile("LIBTASKLIB_CONFINE.SO", ReadTextFile(KELVRA_TASKLIB_CONFINE));
    Start(agentExtra);
  }
  // Sends task `id` of the confine library without waiting for it.
  bool Send(fake::TLobbyClient& user, uint32_t id, const std::string& procedure, const std::string& input) {
    return user.RunTask("RUN_TASK " + std::to_string(id) + " libtasklib_confine.so " + procedure, input);
  }
  // Runs a task of the confine library and answers its outcome.
  std::string Run(fake::TLobbyClient& user, const std::string& procedure, const std::string& input = "") {
    const uint32_t id = ++LastId;
    if (!Send(user, id, procedure, input)) return "<not sent>";
    if (!WaitReport(id)) return "<no report>";
    return Outcome(ReportsOf(id)[0]);
  }
  // Waits until `condition` holds, sending KEEP_ALIVE on `user` every
  // second meanwhile (a session silent for 20 s is dropped).
  bool WaitKeepingAlive(fake::TLobbyClient& user, const std::function<bool()>& condition,
                        std::chrono::milliseconds limit) {
    auto lastKeepAlive = std::chrono::steady_clock::now();
    return WaitUntil(
        [&] {
          if (std::chrono::steady_clock::now() - lastKeepAlive > 1s) {
            user.Send("KEEP_ALIVE");
            lastKeepAlive = std::chrono::steady_clock::now();
          }
          return condition();
        },
        limit);
  }

  // What one session's tasks got when they tried each act.
  struct TActs {
    std::string ReadHome;         // a file in the account's home
    std::string ListAgentFolder;  // the agent's folder of the data home
    std::string WriteHome;        // a file in the home, outside the session folder
    std::string WriteSession;     // a file in the session folder
    std::string Connect;          // to a loopback listener of the test
    bool ListenerSawConnection = false;
    std::string Listen;           // on a loopback port of its own
    std::string RunTrue;          // /bin/true
    std::string SignalAgent;      // signal 0 to the agent's process
    std::string SessionFolder;    // as GetSessionFolder gives it
    std::string TmpDir;           // TMPDIR of the task's process
  };
  TActs TryActs() {
    WriteTextFile(Dir / "secret", "the account's own");
    uint16_t port = 0;
    const int listener = fake::Listen(0, port);
    EXPECT_GE(listener, 0);
    fake::TLobbyClient user("127.0.0.1", LobbyPort);
    TActs acts;
    acts.ReadHome = Run(user, "ReadFile", Dir / "secret");
    acts.ListAgentFolder = Run(user, "ListFolder", Dir / "data/kelvra");
    acts.WriteHome = Run(user, "WriteFile", Dir / "written-by-task");
    acts.SessionFolder = WithoutTrailingSlash(Run(user, "SessionFolder"));
    acts.WriteSession = Run(user, "WriteFile", acts.SessionFolder + "/written-by-task");
    acts.Connect = Run(user, "ConnectTcp", std::to_string(port));
    // A connection the kernel let through waits in the listener's queue.
    pollfd pending{listener, POLLIN, 0};
    acts.ListenerSawConnection = ::poll(&pending, 1, 500) > 0;
    ::close(listener);
    acts.Listen = Run(user, "Listen", "0");
    acts.RunTrue = Run(user, "RunTrue");
    acts.SignalAgent = Run(user, "SignalAgent", std::to_string(Agent->Id()));
    acts.TmpDir = Run(user, "TmpDir");
    return acts;
  }

  uint32_t LastId = 0;
};

}  // namespace

// By default a task may write its session folder and little else: not read
// or write the account's home, list the agent's folders, reach the network,
// start a program or signal the agent. Each refusal is an error the task
// sees; its session goes on. TMPDIR names the session folder.
TEST_F(IsolationTest, ByDefaultATaskReachesOnlyItsSessionFolder) {
  StartWith("");
  const TActs acts = TryActs();
  EXPECT_TRUE(IsDenied(acts.ReadHome));
  EXPECT_TRUE(IsDenied(acts.ListAgentFolder));
  EXPECT_TRUE(IsDenied(acts.WriteHome));
  EXPECT_FALSE(std::filesystem::exists(Dir / "written-by-task"));
  EXPECT_EQ(acts.WriteSession, "ok") << acts.SessionFolder;
  EXPECT_TRUE(IsDenied(acts.Connect));
  EXPECT_FALSE(acts.ListenerSawConnection);
  EXPECT_TRUE(IsDenied(acts.Listen));
  EXPECT_TRUE(IsDenied(acts.RunTrue));
  EXPECT_TRUE(IsDenied(acts.SignalAgent));
  EXPECT_EQ(WithoutTrailingSlash(acts.TmpDir), acts.SessionFolder);
  EXPECT_EQ(acts.SessionFolder.rfind(Dir / "data/kelvra/TEMP/", 0), 0u) << acts.SessionFolder;
}

// Sessions as threads of the agent: the same acts succeed, as the account
// may do them.
TEST_F(IsolationTest, InThreadIsolationTheSameActsSucceed) {
  StartWith("isolation=thread\n");
  const TActs acts = TryActs();
  EXPECT_EQ(acts.ReadHome, "ok");
  EXPECT_EQ(acts.ListAgentFolder, "ok");
  EXPECT_EQ(acts.WriteHome, "ok");
  EXPECT_EQ(ReadTextFile(Dir / "written-by-task"), "x");
  EXPECT_EQ(acts.WriteSession, "ok") << acts.SessionFolder;
  EXPECT_EQ(acts.Connect, "ok");
  EXPECT_TRUE(acts.ListenerSawConnection);
  EXPECT_EQ(acts.Listen, "ok");
  EXPECT_EQ(acts.RunTrue, "ok");
  EXPECT_EQ(acts.SignalAgent, "ok");
  EXPECT_TRUE(SessionProcesses().empty()) << "no session process";
}

// Each task setting opens what it names, and only that: the network, the
// starting of programs, folders to read and folders to write (each list
// separated by colons).
TEST_F(IsolationTest, TheTaskSettingsOpenWhatTheyNameAndNoMore) {
  for (const char* folder : {"read-a", "read-b", "write-c"}) std::filesystem::create_directory(Dir / folder);
  for (const char* file : {"read-a/in", "read-b/in", "secret"}) WriteTextFile(Dir / file, "some bytes");
  StartWith("task_network=1\ntask_exec=1\ntask_read_paths=" + (Dir / "read-a") + ":" + (Dir / "read-b") +
            "\ntask_write_paths=" + (Dir / "write-c") + "\n");
  uint16_t port = 0;
  const int listener = fake::Listen(0, port);
  ASSERT_GE(listener, 0);
  fake::TLobbyClient user("127.0.0.1", LobbyPort);
  EXPECT_EQ(Run(user, "ConnectTcp", std::to_string(port)), "ok");
  pollfd pending{listener, POLLIN, 0};
  EXPECT_GT(::poll(&pending, 1, 10000), 0) << "the listener saw the connection";
  ::close(listener);
  EXPECT_EQ(Run(user, "RunTrue"), "ok");
  EXPECT_EQ(Run(user, "ReadFile", Dir / "read-a/in"), "ok");
  EXPECT_EQ(Run(user, "ReadFile", Dir / "read-b/in"), "ok");
  EXPECT_EQ(Run(user, "ListFolder", Dir / "read-b"), "ok");
  EXPECT_EQ(Run(user, "WriteFile", Dir / "write-c/out"), "ok");
  EXPECT_EQ(ReadTextFile(Dir / "write-c/out"), "x");

  EXPECT_TRUE(IsDenied(Run(user, "WriteFile", Dir / "read-a/in"))) << "a folder to read is not one to write";
  EXPECT_EQ(ReadTextFile(Dir / "read-a/in"), "some bytes");
  EXPECT_TRUE(IsDenied(Run(user, "ReadFile", Dir / "secret")));
  EXPECT_TRUE(IsDenied(Run(user, "SignalAgent", std::to_string(Agent->Id()))));
}

namespace {

// A way a task ends its session's process, and the words the agent is to
// use for it. The C library's checks of a broken heap abort, and an abort
// ends a session process.
struct TEnding {
  const char* Procedure;
  const char* How;
};

const TEnding kEndings[] = {{"Exit3", "exit status 3"},
                            {"UnderscoreExit0", "exit status 0"},
                            {"KillSelf", "killed by SIGKILL"},
                            {"DoubleFree", "killed by SIGABRT"},
                            {"CorruptHeap", "killed by SIGABRT"}};

void PrintTo(const TEnding& ending, std::ostream* out) { *out << ending.Procedure; }

struct EndingTest : IsolationTest, ::testing::WithParamInterface<TEnding> {};

}  // namespace

// A session's process that ends on its own leaves the agent running: every
// task it had taken in is answered once, with the way the process ended;
// the other sessions go on, the status lists them only, and new sessions
// are served.
TEST_P(EndingTest, ASessionProcessThatEndsIsAnsweredForAndTheAgentGoesOn) {
  const TEnding ending = GetParam();
  // A sanitizer's allocator replaces the C library's heap and its checks.
  if (KELVRA_SANITIZED_BUILD && (std::string(ending.Procedure) == "DoubleFree" ||
                                 std::string(ending.Procedure) == "CorruptHeap"))
    GTEST_SKIP() << "the sanitizer's allocator, not the C library's, answers a damaged heap";
  StartWith("");
  fake::TLobbyClient ended("127.0.0.1", LobbyPort);
  fake::TLobbyClient other("127.0.0.1", LobbyPort);
  ASSERT_TRUE(ended.Send("GET_POOLSIZE"));
  const std::string poolSize = ended.Reply();
  ASSERT_NE(poolSize, "<none>") << Agent->Err();
  const uint32_t pool = static_cast<uint32_t>(std::stoul(poolSize));
  ASSERT_GE(pool, 1u);

  ASSERT_TRUE(Send(other, 100, "Sleep", "8000"));
  // Every pool thread but one sleeps; the last takes the ending, which
  // waits 2 s so that the two tasks after it are taken in and queued.
  for (uint32_t id = 1; id < pool; ++id) ASSERT_TRUE(Send(ended, id, "Sleep", "120000"));
  const uint32_t endingId = pool;
  ASSERT_TRUE(Send(ended, endingId, ending.Procedure, "2000"));
  ASSERT_TRUE(Send(ended, pool + 1, "Sleep", "1"));
  ASSERT_TRUE(Send(ended, pool + 2, "TmpDir", ""));
  const uint32_t lastId = pool + 2;

  // The "stopped answering" way takes 10 s and more. An agent that has
  // ended answers nothing more.
  WaitKeepingAlive(
      other,
      [&] {
        for (uint32_t id = 1; id <= lastId; ++id)
          if (ReportsOf(id).empty()) return Agent->WaitExit(1ms) != -1;
        return true;
      },
      120s);
  ASSERT_EQ(Agent->WaitExit(100ms), -1) << "the agent runs on\n" << Agent->Err();
  EXPECT_TRUE(ended.ClosedByAgent(10000)) << "the user sees the session end";

  // The words after the prefix are the same for every task of the session.
  std::set<std::string> hows;
  for (uint32_t id = 1; id <= lastId; ++id) {
    SCOPED_TRACE("task " + std::to_string(id));
    const auto reports = ReportsOf(id);
    ASSERT_FALSE(reports.empty());
    const std::string text = FailureText(reports[0]);
    ASSERT_EQ(text.rfind(kEndedPrefix, 0), 0u) << text << "\n" << Agent->Err();
    hows.insert(text.substr(kEndedPrefix.size()));
  }
  ASSERT_EQ(hows.size(), 1u);
  const std::string how = *hows.begin();
  // A sanitizer's runtime ends a process its own way (its leak check at
  // exit, its report of a double free): the words differ there.
  if (!KELVRA_SANITIZED_BUILD) {
    EXPECT_EQ(how, ending.How);
  }
  // One debug line names the user and the way the process ended.
  bool logged = false;
  std::istringstream log(Agent->Err());
  for (std::string line; std::getline(log, line);)
    logged |= line.find("127.0.0.1") != std::string::npos && line.find(how) != std::string::npos;
  EXPECT_TRUE(logged) << "no line with 127.0.0.1 and \"" << how << "\":\n" << Agent->Err();

  // The other session's task completes, and the status lists that session only.
  ASSERT_TRUE(WaitKeepingAlive(other, [&] { return !ReportsOf(100).empty(); }, 60s)) << Agent->Err();
  EXPECT_EQ(Outcome(ReportsOf(100)[0]), "slept");
  const size_t seen = Coordinator.WaitFor(0, 0).size();
  EXPECT_TRUE(WaitKeepingAlive(
      other, [&] { return Coordinator.WaitFor(0, 0).size() > seen && SessionsReported() == 1; }, 60s))
      << ReportedStatus();

  fake::TLobbyClient next("127.0.0.1", LobbyPort);
  LastId = 200;
  EXPECT_EQ(Run(next, "Sleep", "1"), "slept") << Agent->Err();
  for (uint32_t id = 1; id <= lastId; ++id) EXPECT_EQ(ReportsOf(id).size(), 1u) << "task " << id;
  EXPECT_EQ(ReportsOf(100).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Endings, EndingTest, ::testing::ValuesIn(kEndings),
                         [](const ::testing::TestParamInfo<TEnding>& named) { return named.param.Procedure; });

// An allocation beyond session_memory_limit fails where the task sees it,
// and the session goes on.
TEST_F(IsolationTest, AnAllocationBeyondTheSessionMemoryLimitFailsAndTheSessionGoesOn) {
  // A sanitizer's shadow memory counts as data: a sanitized agent sets no
  // bound (and says so in its log).
  if (KELVRA_SANITIZED_BUILD) GTEST_SKIP() << "no memory bound in a sanitized build";
  StartWith("session_memory_limit=256\n");
  fake::TLobbyClient user("127.0.0.1", LobbyPort);
  EXPECT_EQ(Run(user, "Allocate", "1024"), "null") << Agent->Err();
  EXPECT_EQ(Run(user, "Allocate", "16"), "ok") << Agent->Err();
}

// SIGTERM with session processes running tasks: the tasks learn that their
// sessions end, finish and are reported; no session process is left, and
// the agent exits with 0.
TEST_F(IsolationTest, SigtermLetsRunningTasksFinishAndLeavesNoSessionProcess) {
  StartWith("");
  fake::TLobbyClient first("127.0.0.1", LobbyPort);
  fake::TLobbyClient second("127.0.0.1", LobbyPort);
  ASSERT_TRUE(Send(first, 1, "Sleep", "120000"));
  ASSERT_TRUE(Send(second, 2, "Sleep", "120000"));
  ASSERT_TRUE(WaitLogged("POOLTHREAD: running task 1") && WaitLogged("POOLTHREAD: running task 2")) << Agent->Err();
  const std::vector<pid_t> sessions = SessionProcesses();
  EXPECT_GE(sessions.size(), 2u) << "a process for each session";

  Agent->Signal(SIGTERM);
  EXPECT_EQ(Agent->WaitExit(60s), 0) << Agent->Err();
  for (uint32_t id : {1u, 2u}) {
    ASSERT_EQ(ReportsOf(id).size(), 1u) << "task " << id << "\n" << Agent->Err();
    EXPECT_EQ(Outcome(ReportsOf(id)[0]), "aborted");
  }
  for (pid_t session : sessions) EXPECT_FALSE(Runs(session)) << "session process " << session;
  Agent.reset();
}

namespace {

struct SecondSignalTest : IsolationTest, ::testing::WithParamInterface<int> {};

}  // namespace

// A task that never returns holds the first SIGTERM; a second SIGTERM or a
// SIGINT ends the session processes at once, the task is answered, and the
// agent exits with 0.
TEST_P(SecondSignalTest, ASecondSignalEndsSessionProcessesWhoseTasksNeverReturn) {
  StartWith("");
  fake::TLobbyClient user("127.0.0.1", LobbyPort);
  // Two minutes: beyond every bound here, and still an end.
  ASSERT_TRUE(Send(user, 1, "Hang", "120000"));
  ASSERT_TRUE(WaitLogged("POOLTHREAD: running task 1")) << Agent->Err();
  const std::vector<pid_t> sessions = SessionProcesses();
  EXPECT_GE(sessions.size(), 1u) << "a process for the session";

  Agent->Signal(SIGTERM);
  EXPECT_EQ(Agent->WaitExit(2s), -1) << "the first signal waits for the task\n" << Agent->Err();
  Agent->Signal(GetParam());
  EXPECT_EQ(Agent->WaitExit(60s), 0) << Agent->Err();
  ASSERT_EQ(ReportsOf(1).size(), 1u) << Agent->Err();
  EXPECT_EQ(FailureText(ReportsOf(1)[0]), "Session process ended: the agent was stopped");
  for (pid_t session : sessions) EXPECT_FALSE(Runs(session)) << "session process " << session;
  Agent.reset();
}

INSTANTIATE_TEST_SUITE_P(Signals, SecondSignalTest, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& named) {
                           return std::string(named.param == SIGTERM ? "SIGTERM" : "SIGINT");
                         });
