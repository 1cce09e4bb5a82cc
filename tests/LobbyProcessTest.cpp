// SPDX-License-Identifier: Apache-2.0
// The whole agent as a process: users open sessions on its lobby, tasks run
// from real task libraries fetched from the fake user, reports reach the
// user's data port, status reports reach a fake coordinator. Every agent
// here keeps its coordinator address (no discovery, no broadcasts).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "Common/Sha256.h"
#include "CommandTextSupport.h"
#include "FakePeers.h"
#include "LobbyFixture.h"
#include "T_AgentProcess.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;

}  // namespace

TEST_F(LobbyTest, RunsATaskAndAnswersTheOtherCommands) {
  Start();
  fake::TLobbyClient user("127.0.0.1", LobbyPort);
  ASSERT_TRUE(user.RunTask("RUN_TASK,5,libtasklib_tasks.so,Echo", "hello"));
  ASSERT_TRUE(WaitReport(5)) << Agent->Err();
  EXPECT_EQ(ReportsOf(5)[0].Block, "hello");
  EXPECT_EQ(SplitCommandItems(ReportsOf(5)[0].Text).size(), 5u);

  ASSERT_TRUE(user.Send("KEEP_ALIVE, extra"));
  EXPECT_EQ(SplitCommandItems(user.Reply()).size(), 3u) << "the load summary";
  ASSERT_TRUE(user.Send("keep_alive"));  // unknown: no reply, the session goes on
  ASSERT_TRUE(user.Send("GET_POOLSIZE"));
  std::string poolSize = user.Reply();
  EXPECT_GE(std::stoi(poolSize), 1);
  ASSERT_TRUE(user.Send(""));
  ASSERT_TRUE(user.Send("   "));
  ASSERT_TRUE(user.Send("GET_POOLSIZE"));
  EXPECT_EQ(user.Reply(), poolSize);
  EXPECT_TRUE(Logged("AGENTLOBBYTHREAD: command.itemsCount=0!!! s=\"\""));
  EXPECT_TRUE(Logged("AGENTLOBBYTHREAD: command.itemsCount=0!!! s=\"   \""));
  EXPECT_TRUE(Logged("AGENTLOBBYTHREAD: KEEP_ALIVE received "));

  // Blanks separate like commas; ids keep their low 32 bits.
  ASSERT_TRUE(user.RunTask("RUN_TASK 4294967301 libtasklib_tasks.so Echo", "a"));
  ASSERT_TRUE(user.RunTask("RUN_TASK,-1,libtasklib_tasks.so,Echo", "b"));
  ASSERT_TRUE(WaitReport(5u + 0) && WaitReport(4294967295u));
  EXPECT_EQ(ReportsOf(4294967295u)[0].Block, "b");
  EXPECT_TRUE(WaitUntil([&] { return ReportsOf(5).size() == 2; }, 30s)) << "4294967301 is task 5";

  // The coordinator hears about the agent meanwhile.
  auto reports = Coordinator.WaitFor(1, 10000);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports[0].Text.rfind("UPDATE_STATUS 265 ", 0), 0u);
}

TEST_F(LobbyTest, MalformedTasksEndTheSession) {
  Start();
  {
    fake::TLobbyClient user("127.0.0.1", LobbyPort);
    ASSERT_TRUE(user.RunTask("RUN_TASK,6,my lib.so,Echo", "never read"));
    EXPECT_TRUE(user.ClosedByAgent(10000));
  }
  EXPECT_TRUE(WaitLogged("AGENTLOBBYTHREAD: exception , closing socket"));
  {
    fake::TLobbyClient user("127.0.0.1", LobbyPort);
    ASSERT_TRUE(user.RunTask("RUN_TASK,x,libtasklib_tasks.so,Echo", "data"));
    EXPECT_TRUE(user.ClosedByAgent(10000));
  }
  EXPECT_TRUE(WaitLogged("AGENTLOBBYTHREAD: exception 'x' is not a valid integer value, closing socket"));
  EXPECT_TRUE(WaitLogged("AGENTLOBBYTHREAD: Exit"));
}

TEST_F(LobbyTest, DisconnectClosesAtOnceButRunningTasksAreStillReported) {
  Start();
  fake::TFramedServer* coordinator = &Coordinator;
  {
    fake::TLobbyClient user("127.0.0.1", LobbyPort);
    ASSERT_TRUE(user.RunTask("RUN_TASK,7,libtasklib_tasks.so,WaitForAbort", ""));
    ASSERT_TRUE(WaitLogged("POOLTHREAD: running task 7"));
    ASSERT_TRUE(user.Send("DISCONNECT"));
    EXPECT_TRUE(user.ClosedByAgent(10000));
  }
  ASSERT_TRUE(WaitReport(7));
  EXPECT_EQ(ReportsOf(7)[0].Block, "aborted") << "the task learned that its session ends";
  EXPECT_TRUE(WaitLogged("AGENTLOBBYTHREAD: Exit"));
  // Later status reports no longer list the session.
  size_t seen = coordinator->WaitFor(0, 0).size();
  auto later = coordinator->WaitFor(seen + 2, 10000);
  ASSERT_GT(later.size(), seen + 1);
  EXPECT_NE(Decoded(SplitCommandItems(later.back().Text)[7]), "Working for 127.0.0.1[]");
  EXPECT_EQ(Decoded(SplitCommandItems(later.back().Text)[7]), "Unassigned");
}

TEST_F(LobbyTest, TwoSessionsFromOneAddress) {
  Start();
  fake::TLobbyClient first("127.0.0.1", LobbyPort);
  fake::TLobbyClient second("127.0.0.1", LobbyPort);
  ASSERT_TRUE(first.RunTask("RUN_TASK,1,libtasklib_tasks.so,Echo", "one"));
  ASSERT_TRUE(second.RunTask("RUN_TASK,2,libtasklib_tasks.so,Echo", "two"));
  ASSERT_TRUE(WaitReport(1) && WaitReport(2));
  // The start's probe session is gone once its process has ended.
  EXPECT_TRUE(WaitReportedStatus("Working for 127.0.0.1[], 127.0.0.1[]")) << ReportedStatus();
  EXPECT_GE(User.Connections(), 2) << "each session has its own data connection";
}

TEST_F(LobbyTest, ABindAddressRefusesConnectionsToOtherLocalAddresses) {
  Start("bind_ip=127.0.0.1\n");
  EXPECT_TRUE(fake::TLobbyClient("127.0.0.1", LobbyPort).Connected);
  EXPECT_FALSE(fake::TLobbyClient("127.0.0.2", LobbyPort).Connected);
}

TEST_F(LobbyTest, PipelinedAndConcurrentTasksAreEachReportedOnce) {
  Start("max_sessions_per_user=64\n");  // all from one address, earlier sessions maybe still ending
  {
    fake::TLobbyClient user("127.0.0.1", LobbyPort);
    for (uint32_t id = 1; id <= 10000; ++id) ASSERT_TRUE(user.RunTask("RUN_TASK," + std::to_string(id) + ",libtasklib_tasks.so,Echo", ""));
    auto requests = User.WaitFor(10001, 120000);
    std::set<std::string> ids;
    for (const auto& request : requests)
      if (request.Text.rfind("TASK_DONE ", 0) == 0) ids.insert(SplitCommandItems(request.Text)[1]);
    EXPECT_EQ(requests.size(), 10001u);
    EXPECT_EQ(ids.size(), 10000u);
    ASSERT_TRUE(user.Send("DISCONNECT"));
  }
  // 30 sessions at once, 50 tasks each: every session fetches the library
  // once and gets one report per task.
  std::vector<std::unique_ptr<fake::TLobbyClient>> users;
  for (int s = 0; s < 30; ++s) users.push_back(std::make_unique<fake::TLobbyClient>("127.0.0.1", LobbyPort));
  std::vector<std::future<bool>> senders;
  for (int s = 0; s < 30; ++s) {
    senders.push_back(std::async(std::launch::async, [&users, s] {
      bool sent = true;
      for (int t = 0; t < 50; ++t)
        sent &= users[s]->RunTask("RUN_TASK," + std::to_string(100000 + s * 100 + t) + ",libtasklib_tasks.so,Echo",
                                  "x");
      return sent;
    }));
  }
  for (auto& sender : senders) EXPECT_TRUE(sender.get());
  const size_t expected = 10001 + 30 * 51;
  auto requests = User.WaitFor(expected, 240000);
  EXPECT_GE(requests.size(), expected);
  std::map<std::string, int> reported;
  for (const auto& request : requests)
    if (request.Text.rfind("TASK_DONE ", 0) == 0) ++reported[SplitCommandItems(request.Text)[1]];
  for (int s = 0; s < 30; ++s)
    for (int t = 0; t < 50; ++t) EXPECT_EQ(reported[std::to_string(100000 + s * 100 + t)], 1);
  for (auto& user : users) user->Send("DISCONNECT");
}

TEST_F(LobbyTest, ShutdownWaitsForTheRunningTasksReport) {
  Start();
  ExpectShutdownWaitsForARunningTask();
}

#if KELVRA_HAVE_GUI_BUILD
TEST_F(LobbyTest, ExitOfTheWindowedAgentWaitsForTheRunningTasksReport) {
  Start("", true);
  ExpectShutdownWaitsForARunningTask();
}
#endif

TEST_F(LobbyTest, TwentySecondsOfSilenceEndTheSession) {
#if KELVRA_SANITIZED_BUILD
  GTEST_SKIP() << "the 20-second silence runs in the plain build only";
#endif
  Start();
  fake::TLobbyClient user("127.0.0.1", LobbyPort);
  auto began = std::chrono::steady_clock::now();
  EXPECT_TRUE(user.ClosedByAgent(40000));
  EXPECT_GT(std::chrono::steady_clock::now() - began, 15s);
  EXPECT_TRUE(WaitLogged("AGENTLOBBYTHREAD: No KEEP_ALIVE for a long time, disconnecting."));
}

namespace {

size_t Occurrences(const std::string& text, const std::string& line) {
  size_t count = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
  return count;
}

}  // namespace

TEST_F(LobbyTest, OnAFreshHomeTheAgentMakesItsFoldersAndRunsATask) {
  // No ~/.local, no XDG_DATA_HOME, no XDG_RUNTIME_DIR: everything is made
  // below the home folder, private to the user.
  const std::string home = Dir / "home";
  std::filesystem::create_directory(home);
  Environment = {"XDG_DATA_HOME", "XDG_RUNTIME_DIR", "HOME=" + home};
  Start();
  fake::TLobbyClient user("127.0.0.1", LobbyPort);
  ASSERT_TRUE(user.RunTask("RUN_TASK,3,libtasklib_tasks.so,Echo", "fresh"));
  ASSERT_TRUE(WaitReport(3)) << Agent->Err();
  EXPECT_EQ(ReportsOf(3)[0].Block, "fresh");
  EXPECT_TRUE(std::filesystem::exists(home + "/.local/share/kelvra/kelvraagent.lock"));
  for (const char* folder : {"/.local", "/.local/share", "/.local/share/kelvra", "/.local/share/kelvra/TEMP"}) {
    struct stat info {};
    ASSERT_EQ(::stat((home + folder).c_str(), &info), 0) << folder;
    EXPECT_EQ(info.st_mode & 07777, 0700u) << folder;
  }
}

#if KELVRA_HAVE_GUI_BUILD
namespace {

// A display number no X server uses here: neither its socket file nor an
// abstract socket of that name exists.
std::string UnusedXDisplay() {
  const std::string sockets = ReadTextFile("/proc/net/unix");
  for (int number = 99; number < 1000; ++number) {
    const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
    if (!std::filesystem::exists(path) && sockets.find("@" + path + "\n") == std::string::npos &&
        !std::filesystem::exists("/tmp/.X" + std::to_string(number) + "-lock"))
      return ":" + std::to_string(number);
  }
  return "";
}

}  // namespace
#endif

// A procedure is one the library itself defines: the C library's functions,
// reachable through every library, are not procedures. Only the task fails.
TEST_F(LobbyTest, CLibraryFunctionsAreNoProcedures) {
  Start();
  fake::TLobbyClient user("127.0.0.1", LobbyPort);
  ASSERT_TRUE(user.RunTask("RUN_TASK 1 libtasklib_tasks.so exit", ""));
  ASSERT_TRUE(user.RunTask("RUN_TASK 2 libtasklib_tasks.so abort", ""));
  ASSERT_TRUE(WaitReport(1) && WaitReport(2)) << Agent->Err();
  EXPECT_EQ(FailureText(ReportsOf(1)[0]),
            "POOLTHREAD:  unable to run task - proc=nil. filename=libtasklib_tasks.so proname=exit taskId=1");
  EXPECT_EQ(FailureText(ReportsOf(2)[0]),
            "POOLTHREAD:  unable to run task - proc=nil. filename=libtasklib_tasks.so proname=abort taskId=2");
  ASSERT_TRUE(user.RunTask("RUN_TASK 3 libtasklib_tasks.so Echo", "same session"));
  ASSERT_TRUE(WaitReport(3)) << Agent->Err();
  EXPECT_EQ(ReportsOf(3)[0].Block, "same session");
}

// abort() in a task (a failed assert, std::terminate) fails that task; the
// agent and its other sessions go on.
TEST_F(LobbyTest, AnAbortingTaskFailsAndTheAgentGoesOn) {
  Start();
  fake::TLobbyClient other("127.0.0.1", LobbyPort);
  {
    fake::TLobbyClient user("127.0.0.1", LobbyPort);
    ASSERT_TRUE(user.RunTask("RUN_TASK 1 libtasklib_tasks.so Abort", ""));
    ASSERT_TRUE(WaitReport(1)) << Agent->Err();
    // A session in a process of its own ends with the abort (it may have
    // found the heap damaged); in the agent's process the task fails alone.
    EXPECT_EQ(WithoutOffsets(FailureText(ReportsOf(1)[0])),
              TestIsolation().empty()
                  ? "Session process ended: killed by SIGABRT"
                  : "POOLTHREAD: exception \"Aborted (SIGABRT) in libtasklib_tasks.so+0x* (Abort+0x*)\" in task 1");
  }
  ASSERT_TRUE(other.RunTask("RUN_TASK 2 libtasklib_tasks.so Echo", "alive"));
  ASSERT_TRUE(WaitReport(2)) << Agent->Err();
  EXPECT_EQ(ReportsOf(2)[0].Block, "alive") << ReportsOf(2)[0].Text;
}

namespace {

// A task library of named faults, built one way.
struct TCrashLibrary {
  const char* Name;
  const char* Path;
};
const TCrashLibrary kCrashLibraries[] = {{"libtasklib_crash_fp.so", KELVRA_TASKLIB_CRASH_FP},
                                         {"libtasklib_crash_o2.so", KELVRA_TASKLIB_CRASH_O2},
                                         {"libtasklib_crash_o2fp.so", KELVRA_TASKLIB_CRASH_O2FP}};

std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The lines of `text` that begin with `start`.
std::vector<std::string> LinesStarting(const std::string& text, const std::string& start) {
  std::vector<std::string> found;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind(start, 0) == 0) found.push_back(line);
  return found;
}

}  // namespace

// A fault in task code names the library and function where it happened, in
// the user's text and in a crash report with the library's identity and a
// backtrace whose innermost frame is that function, whichever way the
// library was built. A garbled stack still gives both. The agent goes on.
TEST_F(LobbyTest, AFaultingTaskNamesItsPlaceAndLeavesACrashReport) {
  for (const TCrashLibrary& library : kCrashLibraries) User.AddFile(UpperCase(library.Name), ReadTextFile(library.Path));
  Start();
  struct TCase {
    const char* Procedure;
    const char* Fault;
    const char* Function;
  };
  const TCase cases[] = {{"NullWriteDeep", "Access violation (SIGSEGV) at address 0x0000000000000000", "Integrate"},
                         {"DivideDeep", "Integer division by zero (SIGFPE)", "Partition"},
                         {"SmashedStack", "Access violation (SIGSEGV) at address 0x0000000000000000", "SmashFrame"}};
  uint32_t id = 0;
  for (const TCrashLibrary& library : kCrashLibraries) {
    for (const TCase& test : cases) {
      SCOPED_TRACE(std::string(library.Name) + " " + test.Procedure);
      const std::string task = std::to_string(++id);
      fake::TLobbyClient user("127.0.0.1", LobbyPort);
      ASSERT_TRUE(user.RunTask("RUN_TASK " + task + " " + library.Name + " " + test.Procedure, ""));
      ASSERT_TRUE(WaitReport(id)) << Agent->Err();
      const std::string place = std::string(library.Name) + "+0x* (" + test.Function + "+0x*)";
      const std::string message =
          "POOLTHREAD: exception \"" + std::string(test.Fault) + " in " + place + "\" in task " + task;
      EXPECT_EQ(WithoutOffsets(FailureText(ReportsOf(id)[0])), message);

      const std::string logged = "POOLTHREAD: crash report of task " + task + ": ";
      ASSERT_TRUE(WaitUntil([&] { return Agent->Err().find(logged) != std::string::npos; }, 60s)) << Agent->Err();
      const std::string log = Agent->Err();
      const size_t at = log.find(logged) + logged.size();
      const std::string path = log.substr(at, log.find("\r\n", at) - at);
      EXPECT_EQ(path.rfind(Dir / "state/kelvra/crashes/crash-", 0), 0u) << path;
      const std::string report = ReadTextFile(path);
      EXPECT_EQ(LinesStarting(report, "task: "), std::vector<std::string>{"task: " + task});
      EXPECT_EQ(LinesStarting(report, "user: "), std::vector<std::string>{"user: 127.0.0.1"});
      EXPECT_EQ(LinesStarting(report, "procedure: "), std::vector<std::string>{"procedure: " + std::string(test.Procedure)});
      EXPECT_EQ(LinesStarting(report, "library: "), std::vector<std::string>{"library: " + std::string(library.Name)});
      EXPECT_EQ(LinesStarting(report, "library sha256: "),
                std::vector<std::string>{"library sha256: " + Sha256Hex(ReadTextFile(library.Path))});
      EXPECT_EQ(LinesStarting(report, "  rip 0x").size(), 1u) << report;
      EXPECT_EQ(WithoutOffsets(LinesStarting(report, "  #0 ").at(0)), "  #0 " + place) << report;
      if (std::string(test.Procedure) != "SmashedStack") {
        ASSERT_GE(LinesStarting(report, "  #1 ").size(), 1u) << report;
        EXPECT_EQ(WithoutOffsets(LinesStarting(report, "  #1 ")[0]),
                  "  #1 " + std::string(library.Name) + "+0x* (" + test.Procedure + "+0x*)")
            << report;
        EXPECT_TRUE(LinesStarting(report, "  #2 ").empty()) << "the task's frames only\n" << report;
      }
    }
  }
  fake::TLobbyClient user("127.0.0.1", LobbyPort);
  ASSERT_TRUE(user.RunTask("RUN_TASK 100 libtasklib_tasks.so Echo", "still here"));
  ASSERT_TRUE(WaitReport(100)) << Agent->Err();
  EXPECT_EQ(ReportsOf(100)[0].Block, "still here");
}

// A C++ library the loader never unloads stays in the process after its
// session; each later session of the same user gets a folder of its own, so
// its copy is a new file that loads.
TEST_F(LobbyTest, ALibraryTheLoaderCannotUnloadServesEverySessionOfAUser) {
  User.AddFile("LIBTASKLIB_UNIQUE.SO", ReadTextFile(KELVRA_TASKLIB_UNIQUE));
  Start();
  // Every session begun (the start-up probe's too) has ended entirely.
  auto allEnded = [&] {
    const std::string log = Agent->Err();
    return Occurrences(log, "WORKERTHREAD: Terminated.\r\n") ==
           Occurrences(log, "AGENTPEER: Connecting to user data port, IP=127.0.0.1\r\n");
  };
  for (uint32_t id = 1; id <= 4; ++id) {
    ASSERT_TRUE(WaitUntil(allEnded, 60s)) << Agent->Err();
    fake::TLobbyClient user("127.0.0.1", LobbyPort);
    ASSERT_TRUE(user.RunTask("RUN_TASK " + std::to_string(id) + " libtasklib_unique.so CountCalls", ""));
    ASSERT_TRUE(WaitReport(id)) << Agent->Err();
    EXPECT_EQ(ReportsOf(id)[0].Text.rfind("TASK_DONE ", 0), 0u) << ReportsOf(id)[0].Text;
    ASSERT_TRUE(user.Send("DISCONNECT"));
  }
}
#if KELVRA_HAVE_GUI_BUILD
TEST_F(LobbyTest, AnXDisplayThatDoesNotAnswerMeansHeadless) {
  const std::string display = UnusedXDisplay();
  ASSERT_FALSE(display.empty());
  Environment = {"DISPLAY=" + display};
  Start("", true);
  EXPECT_NE(Agent->Err().find("kelvra-agent: cannot open the X display \"" + display +
                              "\" (no X server accepts the connection); running headless\n"),
            std::string::npos)
      << Agent->Err();
  fake::TLobbyClient user("127.0.0.1", LobbyPort);
  ASSERT_TRUE(user.RunTask("RUN_TASK,4,libtasklib_tasks.so,Echo", "headless"));
  ASSERT_TRUE(WaitReport(4)) << Agent->Err();
  EXPECT_EQ(ReportsOf(4)[0].Block, "headless");
}
#endif

// Neither an unanswered coordinator connect nor an unanswered connect to a
// user's data port holds the agent: a session ending on its own and SIGTERM
// both give the connects up (each would otherwise wait 20 s).
TEST_F(LobbyTest, UnansweredConnectsHoldNeitherSessionsNorShutdown) {
  fake::TUnansweredListener coordinator, dataPort;
  ASSERT_NE(coordinator.Port(), 0);
  ASSERT_NE(dataPort.Port(), 0);
  Start("", false, coordinator.Port(), dataPort.Port());
  const std::string connecting = "AGENTPEER: Connecting to user data port, IP=127.0.0.1";
  ASSERT_TRUE(WaitLogged("AGENTLOBBYTHREAD: Exit", 15s)) << "the probe's session ended, connect and all";
  {
    const size_t exits = TimesLogged("AGENTLOBBYTHREAD: Exit");
    const size_t connects = TimesLogged(connecting);
    fake::TLobbyClient user("127.0.0.1", LobbyPort);
    ASSERT_TRUE(WaitUntil([&] { return TimesLogged(connecting) > connects; }, 30s));
    user.Send("DISCONNECT");
    EXPECT_TRUE(WaitUntil([&] { return TimesLogged("AGENTLOBBYTHREAD: Exit") > exits; }, 15s)) << Agent->Err();
  }
  const size_t connects = TimesLogged(connecting);
  fake::TLobbyClient user("127.0.0.1", LobbyPort);
  ASSERT_TRUE(WaitUntil([&] { return TimesLogged(connecting) > connects; }, 30s));
  Agent->Signal(SIGTERM);
  EXPECT_EQ(Agent->WaitExit(15s), 0) << Agent->Err();
  Agent.reset();
}

// The lobby thread waits for a session's start-up no longer than the
// start-up's connect to the user may take: a KEEP_ALIVE sent after a
// RUN_TASK whose data port never answers is served (or the session ends)
// within that bound, not after the system's two minutes of SYN retries.
TEST_F(LobbyTest, AnUnansweredDataPortHoldsTheLobbyNoLongerThanTheConnectBound) {
#if KELVRA_SANITIZED_BUILD
  GTEST_SKIP() << "the 20-second connect bound runs in the plain build only";
#endif
  fake::TUnansweredListener dataPort;
  ASSERT_NE(dataPort.Port(), 0);
  Start("", false, 0, dataPort.Port());
  fake::TLobbyClient user("127.0.0.1", LobbyPort);
  ASSERT_TRUE(user.RunTask("RUN_TASK,1,libtasklib_tasks.so,Echo", "in"));
  ASSERT_TRUE(user.Send("KEEP_ALIVE"));
  // Either the load summary comes back or the agent ends the session, whose
  // peer never connected; both within the 20 s bound and some slack.
  const std::string reply = user.Reply(60000);
  EXPECT_TRUE(reply != "<none>" || user.ClosedByAgent(1000)) << Agent->Err();
  EXPECT_TRUE(WaitLogged("AGENTPEER: Unable to connect to user data port, IP=127.0.0.1", 10s)) << Agent->Err();
}

// Users that stall in the middle of a GET_FILE or GET_DATA answer, or never
// read a large TASK_DONE, do not pin their sessions once the lobby
// connection has gone, and do not keep SIGTERM from ending the agent.
TEST_F(LobbyTest, UsersWhoStallNeitherPinTheirSessionsNorHoldShutdown) {
  User.StallThreeWays(ReadTextFile(KELVRA_TASKLIB_TASKS));
  Start();
  auto fetchingFile = std::make_unique<fake::TLobbyClient>("127.0.0.1", LobbyPort);
  auto fetchingData = std::make_unique<fake::TLobbyClient>("127.0.0.1", LobbyPort);
  fake::TLobbyClient reporting("127.0.0.1", LobbyPort);
  ASSERT_TRUE(fetchingFile->RunTask("RUN_TASK,1,libstall.so,Echo", ""));
  ASSERT_TRUE(fetchingData->RunTask("RUN_TASK,2,libtasklib_tasks.so,FetchData", "stalled"));
  ASSERT_TRUE(reporting.RunTask("RUN_TASK,3,libtasklib_tasks.so,Echo", std::string(8 << 20, 'x')));
  ASSERT_TRUE(WaitUntil([&] { return User.StalledThreeWays(); }, 60s));

  // Two users go: their sessions end, and the status lists only the third,
  // which keeps its lobby connection alive.
  auto lastKeepAlive = std::chrono::steady_clock::now();
  auto keepingAlive = [&](const std::function<bool()>& condition) {
    return [&, condition] {
      if (std::chrono::steady_clock::now() - lastKeepAlive > 1s) {
        reporting.Send("KEEP_ALIVE");
        lastKeepAlive = std::chrono::steady_clock::now();
      }
      return condition();
    };
  };
  const size_t exits = TimesLogged("AGENTLOBBYTHREAD: Exit");
  fetchingFile.reset();
  fetchingData.reset();
  EXPECT_TRUE(WaitUntil(keepingAlive([&] { return TimesLogged("AGENTLOBBYTHREAD: Exit") >= exits + 2; }), 30s))
      << Agent->Err();
  EXPECT_TRUE(WaitUntil(keepingAlive([&] { return SessionsReported() == 1; }), 30s)) << ReportedStatus();

  // SIGTERM while the third still stalls.
  Agent->Signal(SIGTERM);
  const int status = Agent->WaitExit(30s);
  User.ReleaseStalls();  // frees an agent that would wait for ever
  EXPECT_EQ(status, 0) << Agent->Err();
  EXPECT_EQ(TimesLogged("AGENTPEER: User does not answer, connection closed, IP=127.0.0.1"), 3u);
  Agent.reset();
}

namespace {

// A memory figure of process `pid` in KiB ("VmRSS", "VmHWM"); -1 when absent.
long MemoryKiB(pid_t pid, const std::string& field) {
  const std::string status = ReadTextFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("\n" + field + ":");
  return at == std::string::npos ? -1 : std::stol(status.substr(at + field.size() + 2));
}

}  // namespace

// A host outside allowed_users gets its connection closed at once: no
// session, no worker, no data-port connection, one line naming it.
TEST_F(LobbyTest, AHostOutsideAllowedUsersIsClosedBeforeItBecomesASession) {
  const std::string refusedLine = "AGENTLOBBY: Refused connection from 127.0.0.1: not in allowed_users";
  Start("allowed_users=127.0.0.2, 10.0.0.0/8\n", false, 0, 0, refusedLine);
  const size_t probes = TimesLogged(refusedLine);
  {
    fake::TLobbyClient user("127.0.0.1", LobbyPort);
    ASSERT_TRUE(user.Connected);
    user.RunTask("RUN_TASK,1,libtasklib_tasks.so,Echo", "refused");
    // Well below the 20 s after which a silent session is dropped anyway.
    EXPECT_TRUE(user.ClosedByAgent(10000));
  }
  ASSERT_TRUE(WaitUntil([&] { return TimesLogged(refusedLine) == probes + 1; }, 30s)) << Agent->Err();
  const size_t reports = Coordinator.WaitFor(0, 0).size();
  Coordinator.WaitFor(reports + 1, 30000);
  EXPECT_EQ(ReportedStatus().find("127.0.0.1["), std::string::npos) << ReportedStatus();
  EXPECT_EQ(User.Connections(), 0);
  for (const char* line : {"AGENTPEER: Connecting to user data port, IP=127.0.0.1", "AGENTLOBBYTHREAD: Exit",
                           "AGENTLOBBYTHREAD: Got RUN_TASK command, reading data..."})
    EXPECT_FALSE(Logged(line)) << line;
}

// One address cannot take every place: past max_sessions_per_user (16 by
// default) its connections are closed at once, the ones it has keep their
// places, and other addresses are still served.
TEST_F(LobbyTest, OneAddressPastMaxSessionsPerUserIsClosedAndOthersAreServed) {
  Start();
  const std::string refusedLine =
      "AGENTLOBBY: Refused connection from 127.0.0.2: max_sessions_per_user=16 sessions of this address are open";
  std::vector<std::unique_ptr<fake::TLobbyClient>> held;
  for (int i = 0; i < 16; ++i) {
    held.push_back(std::make_unique<fake::TLobbyClient>("127.0.0.1", LobbyPort, "127.0.0.2"));
    ASSERT_TRUE(held.back()->Send("GET_POOLSIZE"));
    ASSERT_NE(held.back()->Reply(), "<none>") << i << Agent->Err();
  }
  {
    fake::TLobbyClient seventeenth("127.0.0.1", LobbyPort, "127.0.0.2");
    ASSERT_TRUE(seventeenth.Connected);
    EXPECT_TRUE(seventeenth.ClosedByAgent(10000));
  }
  EXPECT_TRUE(WaitUntil([&] { return TimesLogged(refusedLine) == 1; }, 30s)) << Agent->Err();
  fake::TLobbyClient other("127.0.0.1", LobbyPort, "127.0.0.3");
  ASSERT_TRUE(other.Connected);
  ASSERT_TRUE(other.Send("GET_POOLSIZE"));
  EXPECT_NE(other.Reply(), "<none>") << "another address is served";
  for (auto& client : held) {
    ASSERT_TRUE(client->Send("GET_POOLSIZE"));
    EXPECT_NE(client->Reply(), "<none>") << "the sixteen keep their places";
  }
}

TEST_F(LobbyTest, AHostInsideAnAllowedBlockIsServed) {
  Start("allowed_users=192.0.2.7, 127.0.0.0/30\n");
  fake::TLobbyClient user("127.0.0.1", LobbyPort);
  ASSERT_TRUE(user.RunTask("RUN_TASK,4,libtasklib_tasks.so,Echo", "allowed"));
  EXPECT_TRUE(WaitReport(4)) << Agent->Err();
}

// Past max_sessions open sessions a connection is closed at once; the open
// ones are served as before, and a place that frees up is taken again.
TEST_F(LobbyTest, AConnectionPastMaxSessionsIsClosedAndTheOthersAreServed) {
  Start("max_sessions=2\n");
  // The probe's session has ended once the status says so (its process
  // too, where sessions run in processes).
  ASSERT_TRUE(WaitLogged("AGENTLOBBYTHREAD: Exit"));
  ASSERT_TRUE(WaitReportedStatus("Unassigned")) << ReportedStatus();
  auto first = std::make_unique<fake::TLobbyClient>("127.0.0.1", LobbyPort);
  ASSERT_TRUE(first->RunTask("RUN_TASK,1,libtasklib_tasks.so,Echo", "one"));
  ASSERT_TRUE(WaitReport(1)) << Agent->Err();
  fake::TLobbyClient second("127.0.0.1", LobbyPort);
  ASSERT_TRUE(second.RunTask("RUN_TASK,2,libtasklib_tasks.so,Echo", "two"));
  ASSERT_TRUE(WaitReport(2)) << Agent->Err();

  const std::string refusedLine = "AGENTLOBBY: Refused connection from 127.0.0.1: max_sessions=2 sessions are open";
  {
    fake::TLobbyClient third("127.0.0.1", LobbyPort);
    ASSERT_TRUE(third.Connected);
    // Well below the 20 s after which a silent session is dropped anyway.
    EXPECT_TRUE(third.ClosedByAgent(10000));
  }
  EXPECT_TRUE(WaitUntil([&] { return TimesLogged(refusedLine) == 1; }, 30s)) << Agent->Err();

  ASSERT_TRUE(first->RunTask("RUN_TASK,3,libtasklib_tasks.so,Echo", "three"));
  ASSERT_TRUE(second.RunTask("RUN_TASK,4,libtasklib_tasks.so,Echo", "four"));
  EXPECT_TRUE(WaitReport(3) && WaitReport(4)) << Agent->Err();
  second.Send("GET_POOLSIZE");
  EXPECT_NE(second.Reply(), "<none>");

  // Once the first user has gone, a new one takes its place.
  first.reset();
  EXPECT_TRUE(WaitUntil(
      [&] {
        fake::TLobbyClient next("127.0.0.1", LobbyPort);
        return next.Send("GET_POOLSIZE") && next.Reply(5000) != "<none>";
      },
      60s))
      << Agent->Err();
}

namespace {

// The flags of descriptor `fd` of process `pid` ("self" for this one), or
// none when it is not open.
std::optional<unsigned long> DescriptorFlags(const std::string& pid, int fd) {
  const std::string info = ReadTextFile("/proc/" + pid + "/fdinfo/" + std::to_string(fd));
  const size_t at = info.find("flags:");
  if (at == std::string::npos) return std::nullopt;
  return std::stoul(info.substr(at + 6), nullptr, 8);
}

std::string DescriptorTarget(const std::string& pid, int fd) {
  std::error_code ignored;
  return std::filesystem::read_symlink("/proc/" + pid + "/fd/" + std::to_string(fd), ignored).string();
}

}  // namespace

// A user who answers GET_DATA with block after large block: the session's
// cache keeps to its bound, and its memory goes back when the session ends.
// Memory is measured in the plain build only: the sanitizers' allocators keep
// freed memory in quarantine and add shadow memory of their own.
TEST_F(LobbyTest, ManyLargeDataBlocksLeaveTheAgentsMemoryBoundedAndItReturnsAtSessionEnd) {
  constexpr bool kMeasuresMemory = !KELVRA_SANITIZED_BUILD;
  constexpr int kBlocks = 48;
  constexpr size_t kBlockSize = 2u << 20;  // 96 MiB in all, against a bound of 8 MiB
  for (int i = 0; i < kBlocks; ++i)
    User.AddData("big" + std::to_string(i), std::string(kBlockSize, static_cast<char>('a' + i % 26)));
  Start("maxDataCacheSize=8192\n");
  const long before = MemoryKiB(Agent->Id(), "VmRSS");
  ASSERT_GT(before, 0);
  {
    fake::TLobbyClient user("127.0.0.1", LobbyPort);
    ASSERT_TRUE(user.RunTask("RUN_TASK,1,libtasklib_tasks.so,FetchMany", "big " + std::to_string(kBlocks)));
    ASSERT_TRUE(WaitReport(1)) << Agent->Err();
    ASSERT_EQ(ReportsOf(1)[0].Text.rfind("TASK_DONE 1 ", 0), 0u) << ReportsOf(1)[0].Text;
    EXPECT_EQ(ReportsOf(1)[0].Block, std::to_string(kBlocks * kBlockSize));
    EXPECT_EQ(TimesLogged("DATACACHE: Dropping least recently used data of 2097152 bytes."), kBlocks - 4u);
    // The peak, start-up included: the bound, a block in flight and the
    // copy being read, with room to spare; unbounded it passes 96 MiB.
    const long peak = MemoryKiB(Agent->Id(), "VmHWM");
    if (kMeasuresMemory) {
      EXPECT_LT(peak - before, 40 * 1024) << "before " << before << " KiB, peak " << peak << " KiB";
    }
    ASSERT_TRUE(user.Send("DISCONNECT"));
    EXPECT_TRUE(user.ClosedByAgent(10000));
  }
  ASSERT_TRUE(WaitLogged("WORKERTHREAD: Datacache released.")) << Agent->Err();
  ASSERT_TRUE(WaitLogged("AGENTLOBBYTHREAD: Exit")) << Agent->Err();
  // The cache held 8 MiB at the end; all of it is given back to the system.
  long after = 0;
  if (kMeasuresMemory) {
    EXPECT_TRUE(WaitUntil([&] { return (after = MemoryKiB(Agent->Id(), "VmRSS")) - before < 4 * 1024; }, 30s))
        << "before " << before << " KiB, after " << after << " KiB";
  }
}

// A small compressed input that would inflate beyond the bound fails its
// task with the reason, before the agent allocates what it declares.
TEST_F(LobbyTest, ACompressedInputInflatingBeyondTheBoundFailsItsTask) {
  Start("maxDataCacheSize=1024\n");
  const std::string zeros(64u << 20, '\0');
  const std::string within(1u << 20, 'w');
  {
    fake::TLobbyClient user("127.0.0.1", LobbyPort);
    ASSERT_TRUE(user.RunTask("RUN_TASK,1,libtasklib_tasks.so,Echo", CompressedBlock(within, 1u << 20)));
    ASSERT_TRUE(WaitReport(1)) << Agent->Err();
    EXPECT_EQ(ReportsOf(1)[0].Block, within);
    ASSERT_TRUE(user.RunTask("RUN_TASK,2,libtasklib_tasks.so,Echo", CompressedBlock(zeros, 64u << 20)));
    ASSERT_TRUE(WaitReport(2)) << Agent->Err();
  }
  EXPECT_EQ(FailureText(ReportsOf(2)[0]),
            "POOLTHREAD: exception \"Compressed data would inflate to 67108864 bytes, more than the 1048576 "
            "allowed\" in task 2");
}

// No descriptor of the agent outlives an exec: a program that a task
// library starts gets neither the lobby, a user's connections nor the
// agent's files.
TEST_F(LobbyTest, EveryDescriptorOfTheAgentIsCloseOnExec) {
  Start();
  fake::TLobbyClient user("127.0.0.1", LobbyPort);
  ASSERT_TRUE(user.RunTask("RUN_TASK,9,libtasklib_tasks.so,WaitForAbort", ""));
  ASSERT_TRUE(WaitLogged("POOLTHREAD: running task 9"));
  const std::string pid = std::to_string(Agent->Id());
  size_t checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + pid + "/fdinfo")) {
    const int fd = std::stoi(entry.path().filename().string());
    if (fd <= 2) continue;  // standard input and outputs are meant to be inherited
    // Handed down from whoever started this test, through this process: not
    // the agent's own.
    std::optional<unsigned long> ours = DescriptorFlags("self", fd);
    if (ours && (*ours & O_CLOEXEC) == 0 && DescriptorTarget("self", fd) == DescriptorTarget(pid, fd)) continue;
    std::optional<unsigned long> flags = DescriptorFlags(pid, fd);
    if (!flags) continue;  // closed meanwhile
    EXPECT_NE(*flags & O_CLOEXEC, 0u) << "descriptor " << fd << " -> " << DescriptorTarget(pid, fd);
    ++checked;
  }
  // The lobby, the user's lobby and data connections, the coordinator's.
  EXPECT_GE(checked, 4u);
}

// A command text costs no more than a small multiple of its size, and one
// far longer than any command ends its session unread; the agent serves the
// others as before.
TEST_F(LobbyTest, AHugeCommandTextEndsItsSessionAndCostsLittle) {
  Start();
  fake::TLobbyClient other("127.0.0.1", LobbyPort);
  {
    fake::TLobbyClient user("127.0.0.1", LobbyPort);
    user.Send(std::string(16 << 20, ','));  // the agent may close before all of it has gone
    EXPECT_TRUE(user.ClosedByAgent(60000));
    EXPECT_TRUE(WaitLogged("AGENTLOBBYTHREAD: Command text longer than 65536 bytes, disconnecting.")) << Agent->Err();
  }
  {
    // Just below the bound: a command of commas is served.
    fake::TLobbyClient user("127.0.0.1", LobbyPort);
    ASSERT_TRUE(user.Send("KEEP_ALIVE" + std::string(65536 - 10, ',')));
    EXPECT_NE(user.Reply(), "<none>") << Agent->Err();
    ASSERT_TRUE(user.Send("RUN_TASK,8,libtasklib_tasks.so,Echo,x" + std::string(60000, ',')));
    EXPECT_TRUE(user.ClosedByAgent(60000)) << "a RUN_TASK of more than four items ends the session";
  }
  // 16 MiB split into one string per comma held about 1 GiB.
  const long peakKb = MemoryKiB(Agent->Id(), "VmHWM");
  ASSERT_GT(peakKb, 0);
  EXPECT_LT(peakKb, 200 * 1024) << "peak memory in kB";
  ASSERT_TRUE(other.RunTask("RUN_TASK,9,libtasklib_tasks.so,Echo", "still served"));
  ASSERT_TRUE(WaitReport(9)) << Agent->Err();
  EXPECT_EQ(ReportsOf(9)[0].Block, "still served");
}

// The lobby's 20 s bound holds for a whole frame: a user who sends one byte
// now and then, each well within the bound, is still dropped.
TEST_F(LobbyTest, AUserWhoTricklesAFrameIsDropped) {
#if KELVRA_SANITIZED_BUILD
  GTEST_SKIP() << "the 20-second frame bound runs in the plain build only";
#endif
  Start();
  fake::TLobbyClient user("127.0.0.1", LobbyPort);
  const std::string frame = fake::Frame("KEEP_ALIVE" + std::string(100, ' '));
  const auto began = std::chrono::steady_clock::now();
  bool closed = false;
  // A byte every 4 s: 114 bytes would take 7 minutes; the bound ends it
  // after 20 s. At most 60 s of trickling.
  for (size_t i = 0; i < frame.size() && !closed && std::chrono::steady_clock::now() - began < 60s; ++i) {
    user.SendRaw(frame.substr(i, 1));
    closed = user.ClosedByAgent(4000);
  }
  EXPECT_TRUE(closed) << Agent->Err();
  EXPECT_TRUE(WaitLogged("AGENTLOBBYTHREAD: No KEEP_ALIVE for a long time, disconnecting.", 10s));
}

// Texts from the user go into the log escaped: a CR LF in an encoded library
// name or in a quoted item forges no line, and a long text is cut.
TEST_F(LobbyTest, UserTextsInTheLogForgeNoLinesAndAreCut) {
  Start();
  ASSERT_TRUE(WaitLogged("AGENTLOBBYTHREAD: Exit")) << "the probe's session ended";
  const size_t exits = TimesLogged("AGENTLOBBYTHREAD: Exit");
  fake::TLobbyClient user("127.0.0.1", LobbyPort);
  const std::string forged = "\r\nAGENTLOBBYTHREAD: Exit\r\n";
  // A library the user does not have, named with an encoded CR LF.
  ASSERT_TRUE(user.RunTask("RUN_TASK,1," + EncodeArgument("nosuch" + forged + ".so") + ",Echo", ""));
  // A procedure the library does not have, quoted with its CR LF as it is.
  ASSERT_TRUE(user.RunTask("RUN_TASK,2,libtasklib_tasks.so,\"Echo" + forged + "\"", ""));
  ASSERT_TRUE(WaitReport(1) && WaitReport(2)) << Agent->Err();
  // A command of blanks only is logged whole: cut.
  ASSERT_TRUE(user.Send(std::string(60000, ' ')));
  ASSERT_TRUE(user.Send("KEEP_ALIVE"));
  ASSERT_NE(user.Reply(), "<none>");
  const std::string log = Agent->Err();
  EXPECT_EQ(TimesLogged("AGENTLOBBYTHREAD: Exit"), exits) << "the session is still open:\n" << log;
  EXPECT_TRUE(Logged("FILECACHE: Requesting file nosuch\\r\\nAGENTLOBBYTHREAD: Exit\\r\\n.so from user.")) << log;
  EXPECT_TRUE(Logged("POOLTHREAD:  unable to run task - proc=nil. filename=libtasklib_tasks.so "
                     "proname=Echo\\r\\nAGENTLOBBYTHREAD: Exit\\r\\n taskId=2"))
      << log;
  EXPECT_TRUE(Logged("AGENTLOBBYTHREAD: command.itemsCount=0!!! s=\"" + std::string(1024, ' ') +
                     "...[cut, 60000 bytes in all]\""))
      << log.size();
  // The user is told as before: the report carries the text unchanged.
  EXPECT_EQ(FailureText(ReportsOf(2)[0]), "POOLTHREAD:  unable to run task - proc=nil. filename=libtasklib_tasks.so "
                                          "proname=Echo" + forged + " taskId=2");
}

// The example task libraries of examples/, each procedure run through the
// agent as in a task author's first run: the same seed gives the same
// estimate, data blocks are counted (each fetched once per session), and the
// C++ library is unloaded when its session ends.
TEST_F(LobbyTest, TheExampleTaskLibrariesRunThroughTheAgent) {
  User.AddFile("LIBPI.SO", ReadTextFile(KELVRA_EXAMPLE_PI));
  User.AddFile("LIBWORDCOUNT.SO", ReadTextFile(KELVRA_EXAMPLE_WORDCOUNT));
  User.AddData("book", "It was the best of times,\nit was the  worst\tof times\n\n");
  User.AddData("notes", "no line end");
  Start();
  {
    fake::TLobbyClient user("127.0.0.1", LobbyPort);
    ASSERT_TRUE(user.RunTask("RUN_TASK 1 libpi.so EstimatePi", "42 100000"));
    ASSERT_TRUE(user.RunTask("RUN_TASK 2 libpi.so EstimatePi", " 42 100000\n"));
    ASSERT_TRUE(user.RunTask("RUN_TASK 3 libpi.so EstimatePi", "7"));
    ASSERT_TRUE(user.RunTask("RUN_TASK 4 libwordcount.so CountWords", "book\nnotes"));
    ASSERT_TRUE(user.RunTask("RUN_TASK 5 libwordcount.so CountWords", "book"));
    for (uint32_t id = 1; id <= 5; ++id) ASSERT_TRUE(WaitReport(id)) << Agent->Err();

    const std::string estimate = ReportsOf(1)[0].Block;
    EXPECT_EQ(estimate, "seed=42 samples=100000 inside=78748 pi=3.149920\n") << ReportsOf(1)[0].Text;
    EXPECT_EQ(ReportsOf(2)[0].Block, estimate) << "a seed always gives the same line";
    EXPECT_EQ(ReportsOf(3)[0].Block.rfind("seed=7 samples=1000000 inside=", 0), 0u) << ReportsOf(3)[0].Text;

    EXPECT_EQ(ReportsOf(4)[0].Block,
              "book: lines=3 words=12 bytes=54\nnotes: lines=0 words=3 bytes=11\ntotal: lines=3 words=15 bytes=65\n");
    EXPECT_EQ(ReportsOf(5)[0].Block, "book: lines=3 words=12 bytes=54\n");
    size_t bookFetches = 0;
    for (const auto& request : User.Taken()) bookFetches += request.Text == "GET_DATA book";
    EXPECT_EQ(bookFetches, 1u) << "the session's tasks share the cached block";
    ASSERT_TRUE(Agent->Maps("libwordcount.so"));
    ASSERT_TRUE(user.Send("DISCONNECT"));
  }
  EXPECT_TRUE(WaitUntil([&] { return !Agent->Maps("libwordcount.so"); }, 60s)) << "unloaded when its session ends";
}

// Inputs the examples cannot take fail their task with a text, and each
// failure ends only its own session.
TEST_F(LobbyTest, TheExampleTaskLibrariesFailBadInputsWithAText) {
  User.AddFile("LIBPI.SO", ReadTextFile(KELVRA_EXAMPLE_PI));
  User.AddFile("LIBWORDCOUNT.SO", ReadTextFile(KELVRA_EXAMPLE_WORDCOUNT));
  Start();
  const std::vector<std::pair<std::string, std::string>> tasks = {
      {"libpi.so EstimatePi", "seven"},          {"libpi.so EstimatePi", "7 0"},
      {"libpi.so EstimatePi", "-7"},             {"libpi.so EstimatePi", "7 100 3"},
      {"libpi.so EstimatePi", "99999999999999999999"}, {"libwordcount.so CountWords", "missing"},
      {"libwordcount.so CountWords", " \n"}};
  for (uint32_t id = 1; id <= tasks.size(); ++id) {
    fake::TLobbyClient user("127.0.0.1", LobbyPort);
    ASSERT_TRUE(user.RunTask("RUN_TASK " + std::to_string(id) + " " + tasks[id - 1].first, tasks[id - 1].second));
    ASSERT_TRUE(WaitReport(id)) << Agent->Err();
  }
  for (uint32_t id = 1; id <= 5; ++id)
    EXPECT_EQ(FailureText(ReportsOf(id)[0]), "POOLTHREAD: exception \"TaskProc returned false\" in task " +
                                                  std::to_string(id))
        << tasks[id - 1].second;
  EXPECT_EQ(FailureText(ReportsOf(6)[0]), "POOLTHREAD: exception \"data block \"missing\" is not available\" in task 6");
  EXPECT_EQ(FailureText(ReportsOf(7)[0]),
            "POOLTHREAD: exception \"no data block named: the input lists identifiers\" in task 7");
}
