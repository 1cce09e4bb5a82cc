// SPDX-License-Identifier: Apache-2.0
// Sessions end to end below the lobby: a session with its peer, caches and
// pool threads runs real task libraries fetched from a fake user on
// 127.0.0.1.
#include "Agent/T_AgentSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <map>
#include <set>
#include <thread>

#include "Agent/T_AgentLobby.h"
#include "Common/T_GenericStream.h"
#include "CommandTextSupport.h"
#include "FakePeers.h"
#include "SessionFixture.h"
#include "StatusAssertions.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;

struct SessionTest : ::testing::Test {
  TTempDir Dir;
  TTestPlatform Platform;
  fake::TFakeUser User;
  std::unique_ptr<TAgentParts> Parts;

  void SetUp() override { Start(2); }

  // Parts whose sessions run `poolSize` pool threads and fetch from the
  // user on `dataPort` (the fake user's by default).
  void Start(int poolSize, uint16_t dataPort = 0) {
    Parts.reset();
    Platform.System.Processors = poolSize;
    TAgentSettings settings = TestSettings(dataPort != 0 ? dataPort : User.Port());
    settings.ExplicitCPU = false;
    Parts = std::make_unique<TAgentParts>(Platform, Dir, settings);
    User.AddFile("LIBTASKLIB_TASKS.SO", ReadTextFile(KELVRA_TASKLIB_TASKS));
    User.AddFile("LIBTASKLIB_THROW.SO", ReadTextFile(KELVRA_TASKLIB_THROW));
    User.AddFile("LIBTASKLIB_ENDFAULT.SO", ReadTextFile(KELVRA_TASKLIB_ENDFAULT));
  }

  static void Run(TAgentSession& worker, uint32_t id, const std::string& procedure,
                  const std::string& input = "", const std::string& library = "libtasklib_tasks.so") {
    TStreamRef stream(TGenericStream::Create());
    EXPECT_OK(stream.Write(input.data(), static_cast<int32_t>(input.size())));
    worker.AddTask(id, library, procedure, stream);
    EXPECT_FALSE(stream) << "the worker took the input";
  }

  // The report the user received for task `id`, waiting for it.
  fake::TFakeUser::TRequest ReportOf(uint32_t id) {
    const std::string done = "TASK_DONE " + std::to_string(id) + " ";
    const std::string failed = "TASK_FAILED " + std::to_string(id) + " ";
    fake::TFakeUser::TRequest found;
    WaitUntil(
        [&] {
          for (const auto& request : User.Taken()) {
            if (request.Text.rfind(done, 0) == 0 || request.Text.rfind(failed, 0) == 0) {
              found = request;
              return true;
            }
          }
          return false;
        },
        30s);
    return found;
  }
  static std::string FailureOf(const fake::TFakeUser::TRequest& report) {
    std::vector<std::string> items = SplitCommandItems(report.Text);
    return items.size() == 3 && items[0] == "TASK_FAILED" ? Decoded(items[2]) : "<not failed: " + report.Text + ">";
  }
  std::string Status() const { return Parts->StatusText(); }
  std::vector<std::string> Log() { return Platform.Debug.Taken(); }
  bool Logged(const std::string& line) {
    for (const std::string& taken : Log())
      if (taken == line + "\r" || WithoutOffsets(taken) == line + "\r") return true;
    return false;
  }
};

}  // namespace

TEST_F(SessionTest, RunsATaskAndReportsItsOutput) {
  TAgentSession worker(Parts->Context, Parts->Services, "127.0.0.1");
  Run(worker, 1, "Echo", "hello");
  auto report = ReportOf(1);
  EXPECT_EQ(report.Text, "TASK_DONE 1 0.0 0.0 0");
  EXPECT_EQ(report.Block, "hello");
  EXPECT_TRUE(Logged("POOLTHREAD: running task 1"));
  EXPECT_TRUE(Logged("POOLTHREAD: task 1 done"));

  // Compressed input is inflated first; a float division by zero is no fault.
  std::string content(10000, 'q');
  Run(worker, 2, "Echo", CompressedBlock(content, static_cast<uint32_t>(content.size())));
  EXPECT_EQ(ReportOf(2).Block, content);
  EXPECT_TRUE(Logged("POOLTHREAD: Decompressing data for task 2"));
  Run(worker, 4, "Echo", CompressedBlock(content, 5));  // corrupt: the sizes differ
  EXPECT_EQ(FailureOf(ReportOf(4)),
            "POOLTHREAD: exception \"Assertion failure (Common/kelvracommon, line 519)\" in task 4");
  Run(worker, 3, "FloatDivide");
  EXPECT_EQ(ReportOf(3).Block, "inf");
  EXPECT_EQ(User.Taken()[0].Text, "GET_FILE LIBTASKLIB_TASKS.SO") << "the library is fetched once";
  EXPECT_EQ(User.Taken()[1].Text.rfind("TASK_DONE", 0), 0u);
}

TEST_F(SessionTest, AFalseResultFailsTheTaskAndTheSession) {
  TAgentSession worker(Parts->Context, Parts->Services, "127.0.0.1");
  Run(worker, 12, "ReturnFalse");
  EXPECT_EQ(FailureOf(ReportOf(12)), "POOLTHREAD: exception \"TaskProc returned false\" in task 12");
  Run(worker, 13, "ReturnHighBitsOnly");
  EXPECT_EQ(FailureOf(ReportOf(13)), "POOLTHREAD: exception \"TaskProc returned false\" in task 13");
  EXPECT_TRUE(worker.PeerFailed());
}

// Every task taken ends in one report: an error raised after the task ran
// (here the load summary of its TASK_DONE) is reported as the task's
// failure, and the session goes on.
TEST_F(SessionTest, AnErrorAfterTheTaskRanIsReportedAsItsFailure) {
  TAgentSession worker(Parts->Context, Parts->Services, "127.0.0.1");
  Parts->Load.Raise = true;
  Run(worker, 1, "Echo", "never reported");
  EXPECT_EQ(FailureOf(ReportOf(1)), "POOLTHREAD: exception \"no load summary\" in task 1");
  Parts->Load.Raise = false;
  Run(worker, 2, "Echo", "next");
  EXPECT_EQ(ReportOf(2).Block, "next");
  auto reports = User.Taken();
  EXPECT_EQ(std::count_if(reports.begin(), reports.end(),
                          [](const auto& r) { return r.Text.rfind("TASK_FAILED 1 ", 0) == 0 || r.Text.rfind("TASK_DONE 1 ", 0) == 0; }),
            1);
  EXPECT_FALSE(worker.PeerFailed());
}

TEST_F(SessionTest, AMissingLibraryOrProcedureFailsOnlyTheTask) {
  TAgentSession worker(Parts->Context, Parts->Services, "127.0.0.1");
  Run(worker, 5, "echo");  // names are exact: the export is Echo
  EXPECT_EQ(FailureOf(ReportOf(5)),
            "POOLTHREAD:  unable to run task - proc=nil. filename=libtasklib_tasks.so proname=echo taskId=5");
  Run(worker, 6, "Echo", "", "missing%2eso");
  EXPECT_EQ(FailureOf(ReportOf(6)), "POOLTHREAD: unable to load dll missing%2eso for task 6");
  Run(worker, 7, "Echo", "", "bad%zz");  // a malformed escape
  EXPECT_EQ(FailureOf(ReportOf(7)),
            "POOLTHREAD: exception \"Invalid URL encoded character (%zz) at position 4\" in task 7");
  EXPECT_FALSE(worker.PeerFailed());
}

TEST_F(SessionTest, ProcessorFaultsAndExceptionsFailTheTaskAndTheAgentLivesOn) {
  Start(1);  // one pool thread takes both faults in a row
  {
    TAgentSession worker(Parts->Context, Parts->Services, "127.0.0.1");
    Run(worker, 1, "IntDivide");
    Run(worker, 2, "NullWrite");
    Run(worker, 3, "Throw", "", "libtasklib_throw.so");
    Run(worker, 5, "Abort");
    Run(worker, 6, "Echo", "after the abort");
    EXPECT_EQ(WithoutOffsets(FailureOf(ReportOf(1))),
              "POOLTHREAD: exception \"Integer division by zero (SIGFPE) in libtasklib_tasks.so+0x* (IntDivide+0x*)\" "
              "in task 1");
    EXPECT_EQ(WithoutOffsets(FailureOf(ReportOf(2))),
              "POOLTHREAD: exception \"Access violation (SIGSEGV) at address 0x0000000000000000 in "
              "libtasklib_tasks.so+0x* (NullWrite+0x*)\" in task 2");
    EXPECT_EQ(FailureOf(ReportOf(3)), "POOLTHREAD: exception \"the task threw\" in task 3");
    EXPECT_EQ(WithoutOffsets(FailureOf(ReportOf(5))),
              "POOLTHREAD: exception \"Aborted (SIGABRT) in libtasklib_tasks.so+0x* (Abort+0x*)\" in task 5");
    EXPECT_EQ(ReportOf(6).Block, "after the abort") << "the same pool thread runs the session's next task";
    EXPECT_TRUE(worker.PeerFailed());
  }
  TAgentSession next(Parts->Context, Parts->Services, "127.0.0.1");
  Run(next, 4, "Echo", "still here");
  EXPECT_EQ(ReportOf(4).Block, "still here");
}

TEST_F(SessionTest, StreamRuleBreakersFailWithAClearMessage) {
  User.AddData("block", "read only");
  TAgentSession worker(Parts->Context, Parts->Services, "127.0.0.1");
  Run(worker, 1, "FetchData", "block");
  EXPECT_EQ(ReportOf(1).Block, "read only");
  Run(worker, 2, "WriteReadOnly");
  EXPECT_EQ(FailureOf(ReportOf(2)),
            "POOLTHREAD: exception \"Assertion failure (Common/T_GenericStreamRO, line 150)\" in task 2");
  Run(worker, 3, "KeepOutput");
  EXPECT_EQ(FailureOf(ReportOf(3)),
            "POOLTHREAD: exception \"the task library kept a reference to its output stream\" in task 3");
  Run(worker, 4, "Echo", "pool goes on");
  EXPECT_EQ(ReportOf(4).Block, "pool goes on");
  Run(worker, 5, "ReleaseKept");  // the library's own reference, the last one
  EXPECT_EQ(ReportOf(5).Text, "TASK_DONE 5 0.0 0.0 0");
  auto reports = User.Taken();
  EXPECT_EQ(std::count_if(reports.begin(), reports.end(),
                          [](const auto& r) { return r.Text.find(" 3 ") != std::string::npos; }),
            1)
      << "one report for the keeper";
}

TEST_F(SessionTest, TaskListShowsRunningAndQueuedTasks) {
  Start(1);
  Parts->Sessions.AddSession("127.0.0.1");
  auto worker = std::make_unique<TAgentSession>(Parts->Context, Parts->Services, "127.0.0.1");
  Run(*worker, 1, "WaitForAbort");
  Run(*worker, 2, "Echo");
  Run(*worker, 3, "Echo");
  // A task shows as handed over ("2#") only while a free pool thread has
  // been woken for it; the one thread is busy, so 2 and 3 just wait.
  ASSERT_TRUE(WaitUntil([&] { return worker->GetTaskList() == "1*,2,3"; }, 10s)) << worker->GetTaskList();
  EXPECT_TRUE(WaitUntil([&] { return Status() == "Working for 127.0.0.1[1*,2,3], searching for coordinator..."; }))
      << Status();
  // Teardown: the running task is told to stop and reported; the waiting
  // ones are dropped without a report.
  worker.reset();
  EXPECT_EQ(ReportOf(1).Block, "aborted");
  auto reports = User.Taken();
  EXPECT_EQ(reports.size(), 2u) << "GET_FILE and the report of the running task";
  std::vector<std::string> expected = {
      "WORKERTHREAD: Waiting for threadpool to terminate...", "WORKERTHREAD: Waiting for threadpool to finish tasks - done",
      "WORKERTHREAD: Threadpool released.", "WORKERTHREAD: Filecache.Endsession() done.",
      "WORKERTHREAD: Filecache released.", "WORKERTHREAD: Datacache released.", "WORKERTHREAD: Peer released.",
      "WORKERTHREAD: Terminated."};
  std::vector<std::string> seen;
  for (const std::string& line : Log())
    if (line.rfind("WORKERTHREAD:", 0) == 0) seen.push_back(line.substr(0, line.size() - 1));
  EXPECT_EQ(seen, expected);
}

// The worker answers with the load summary of the source it was handed and
// reports its tasks into the session list it was handed, into its own
// entry only.
TEST_F(SessionTest, ReportsUseTheLoadSourceAndSessionListItWasGiven) {
  Start(1);
  Parts->Load.Summary = "1.5 2.5 4096";
  Parts->Sessions.AddSession("127.0.0.9");
  Parts->Sessions.SetSessionTasks("127.0.0.9", "8*");
  Parts->Sessions.AddSession("127.0.0.1");
  auto worker = std::make_unique<TAgentSession>(Parts->Context, Parts->Services, "127.0.0.1");
  Run(*worker, 1, "Echo", "hello");
  EXPECT_EQ(ReportOf(1).Text, "TASK_DONE 1 1.5 2.5 4096");
  const std::string others = "Working for 127.0.0.9[8*], 127.0.0.1[";
  EXPECT_TRUE(WaitUntil([&] { return Status() == others + "], searching for coordinator..."; })) << Status();
  Run(*worker, 2, "WaitForAbort");
  Run(*worker, 3, "Echo");
  // Task 2 runs and 3 waits.
  EXPECT_TRUE(WaitUntil(
      [&] {
        return worker->GetTaskList() == "2*,3" && Status() == others + "2*,3], searching for coordinator...";
      },
      10s))
      << worker->GetTaskList() << " / " << Status();
  worker.reset();
  EXPECT_EQ(ReportOf(2).Text, "TASK_DONE 2 1.5 2.5 4096");
}

// Two sessions of one user: each entry of the status text shows its own
// session's tasks as they are when the text is formed, while tasks come and
// go on both.
// Two sessions of one address share the first entry of that address, which
// shows the tasks of the session that changed last.
TEST_F(SessionTest, TwoSessionsOfOneAddressShowTheLatestInTheFirstEntry) {
  Start(1);
  Parts->Sessions.AddSession("127.0.0.1");
  auto first = std::make_unique<TAgentSession>(Parts->Context, Parts->Services, "127.0.0.1");
  Parts->Sessions.AddSession("127.0.0.1");
  auto second = std::make_unique<TAgentSession>(Parts->Context, Parts->Services, "127.0.0.1");
  Run(*first, 1, "WaitForAbort");
  Run(*first, 2, "Echo");
  auto shows = [&](const std::set<std::string>& lists, const std::string& rest) {
    const std::string status = Status();
    for (const std::string& list : lists)
      if (status == "Working for 127.0.0.1[" + list + "]" + rest + ", searching for coordinator...") return true;
    return false;
  };
  EXPECT_TRUE(WaitUntil([&] { return shows({"1*,2"}, ", 127.0.0.1[]"); }, 10s)) << Status();
  Run(*second, 7, "WaitForAbort");
  Run(*second, 8, "Echo");
  Run(*second, 9, "Echo");
  const std::set<std::string> secondLists = {"7*,8,9"};
  EXPECT_TRUE(WaitUntil([&] { return shows(secondLists, ", 127.0.0.1[]"); }, 10s)) << Status();
  // The first session ends; the lobby then takes out the last entry of its
  // address.
  first.reset();
  EXPECT_EQ(ReportOf(1).Block, "aborted");
  EXPECT_TRUE(shows(secondLists, ", 127.0.0.1[]")) << Status();
  Parts->Sessions.RemoveSession("127.0.0.1");
  Run(*second, 10, "Echo");
  EXPECT_TRUE(WaitUntil([&] { return shows({"7*,8,9,10"}, ""); }, 10s)) << Status();
  second.reset();
  EXPECT_EQ(Status(), "Working for 127.0.0.1[], searching for coordinator...");
}

// Sessions end while other threads form the status text: the text never
// reads a worker that has gone (the sanitizer builds check this).
TEST_F(SessionTest, SessionsEndWhileTheStatusTextIsRead) {
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  std::atomic<int> reads{0};
  Parts->Sessions.AddSession("127.0.0.1");
  for (int i = 0; i < 2; ++i)
    readers.emplace_back([&] {
      while (!done.load()) {
        EXPECT_EQ(Status().rfind("Working for 127.0.0.1[", 0), 0u) << Status();
        reads.fetch_add(1);
        std::this_thread::sleep_for(100us);
      }
    });
  for (uint32_t session = 0; session < 8; ++session) {
    auto worker = std::make_unique<TAgentSession>(Parts->Context, Parts->Services, "127.0.0.1");
    Run(*worker, session * 10 + 1, "WaitForAbort");
    for (uint32_t id = 2; id < 6; ++id) Run(*worker, session * 10 + id, "Echo");
    worker.reset();  // while the readers go on
  }
  WaitUntil([&] { return reads.load() > 0; }, 10s);
  done.store(true);
  for (std::thread& reader : readers) reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(Status(), "Working for 127.0.0.1[], searching for coordinator...");
}

TEST_F(SessionTest, AFaultInEndSessionIsLoggedAndTheSessionEnds) {
  Platform.System.StateFolder = Dir / "state";
  {
    TAgentSession worker(Parts->Context, Parts->Services, "127.0.0.1");
    Run(worker, 1, "Nothing", "", "libtasklib_endfault.so");
    EXPECT_EQ(ReportOf(1).Text, "TASK_DONE 1 0.0 0.0 0");
  }
  EXPECT_TRUE(Logged("WORKERTHREAD: exception Access violation (SIGSEGV) at address 0x0000000000000000 in "
                     "libtasklib_endfault.so+0x* (EndSession+0x*)in EndSession()"));
  // Its crash report, like a task's.
  std::vector<std::string> reports;
  for (const auto& entry : std::filesystem::directory_iterator(Dir / "state/kelvra/crashes"))
    reports.push_back(entry.path());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_TRUE(Logged("WORKERTHREAD: crash report of EndSession(): " + reports[0]));
  const std::string report = ReadTextFile(reports[0]);
  EXPECT_NE(report.find("\nprocedure: EndSession\nlibrary: libtasklib_endfault.so\n"), std::string::npos) << report;
  EXPECT_NE(report.find("\n  #0 libtasklib_endfault.so+0x"), std::string::npos) << report;
  EXPECT_TRUE(Logged("WORKERTHREAD: Terminated."));
}

// EndSession may call back into the agent: its GetData goes through the
// session's data cache and peer while the session ends, and FreeData drops
// the block. Nothing the ending session holds is taken again.
TEST_F(SessionTest, AnEndSessionThatFetchesDataGetsItAndTheSessionEnds) {
  User.AddFile("LIBTASKLIB_ENDDATA.SO", ReadTextFile(KELVRA_TASKLIB_ENDDATA));
  User.AddData("EndSessionData", "saved state");
  auto worker = std::make_unique<TAgentSession>(Parts->Context, Parts->Services, "127.0.0.1");
  Run(*worker, 1, "Nothing", "", "libtasklib_enddata.so");
  EXPECT_EQ(ReportOf(1).Text, "TASK_DONE 1 0.0 0.0 0");
  RunBounded([&] { worker.reset(); }, 60s, "ending a session whose EndSession fetches data");
  std::vector<std::string> texts;
  for (const auto& request : User.Taken()) texts.push_back(request.Text);
  EXPECT_EQ(texts, (std::vector<std::string>{"GET_FILE LIBTASKLIB_ENDDATA.SO", "TASK_DONE 1 0.0 0.0 0",
                                             "GET_DATA EndSessionData"}));
  EXPECT_FALSE(Logged("AGENTPEER: GET_DATA failed! User IP=127.0.0.1"));
  EXPECT_TRUE(Logged("WORKERTHREAD: Filecache.Endsession() done."));
  EXPECT_TRUE(Logged("WORKERTHREAD: Terminated."));
}

// Every pool thread asks at once for one library that needs a companion:
// one thread fetches both files, writes and loads them while the others
// wait for the cache, then every task runs with the one loaded library.
TEST_F(SessionTest, TasksOnEveryPoolThreadShareOneLibraryAndItsCompanion) {
  User.AddFile("LIBTASKLIB_PART.SO", ReadTextFile(KELVRA_TASKLIB_PART));
  constexpr uint32_t kTasks = 8;
  RunBounded(
      [&] {
        TAgentSession worker(Parts->Context, Parts->Services, "127.0.0.1");
        for (uint32_t id = 1; id <= kTasks; ++id)
          Run(worker, id, "Echo", "task " + std::to_string(id), "libtasklib_tasks.so,libtasklib_part.so");
        for (uint32_t id = 1; id <= kTasks; ++id) EXPECT_EQ(ReportOf(id).Block, "task " + std::to_string(id));
      },
      120s, "tasks sharing a library with a companion");
  std::multiset<std::string> fetched;
  for (const auto& request : User.Taken())
    if (request.Text.rfind("GET_FILE ", 0) == 0) fetched.insert(request.Text);
  EXPECT_EQ(fetched, (std::multiset<std::string>{"GET_FILE LIBTASKLIB_PART.SO", "GET_FILE LIBTASKLIB_TASKS.SO"}));
}

TEST_F(SessionTest, AFullSessionQueueRefusesTheTaskThatDoesNotFit) {
  Start(1);
  TAgentSession worker(Parts->Context, Parts->Services, "127.0.0.1");
  Run(worker, 1, "WaitForAbort");
  ASSERT_TRUE(WaitUntil([&] { return worker.GetTaskList() == "1*"; }, 10s));
  // The one pool thread is busy: tasks 2 to 10001 fill the queue, and every
  // task after them is refused.
  const uint32_t last = TAgentSession::kMaxQueuedTasks + 3;
  for (uint32_t id = 2; id <= last; ++id) Run(worker, id, "Echo");
  EXPECT_EQ(FailureOf(ReportOf(last)),
            "WORKERTHREAD: session queue full (10000 tasks waiting), task " + std::to_string(last) + " refused");
  // The refusals come in order, the last one last: every task from the
  // first that did not fit on is refused, none before it.
  std::vector<uint32_t> refusedIds;
  for (const auto& request : User.Taken())
    if (request.Text.rfind("TASK_FAILED ", 0) == 0) refusedIds.push_back(std::stoul(request.Text.substr(12)));
  const uint32_t refused = TAgentSession::kMaxQueuedTasks + 2;
  EXPECT_EQ(refusedIds, (std::vector<uint32_t>{refused, last})) << worker.GetTaskList().substr(0, 20);
  EXPECT_EQ(FailureOf(ReportOf(refused)),
            "WORKERTHREAD: session queue full (10000 tasks waiting), task " + std::to_string(refused) + " refused");
  EXPECT_EQ(worker.GetTaskList().substr(0, 10), "1*,2,3,4,5");
}

// A session whose start-up fails (here: the system refuses the pool's
// threads, as under a task limit) answers every task with TASK_FAILED and
// still ends; nothing waits for a start-up that never comes.
TEST_F(SessionTest, AWorkerWhosePoolCannotStartFailsEveryTaskSentToIt) {
  Platform.System.RefuseThreads("Pool thread");
  const std::string failure = "WORKERTHREAD: unable to start the session: Resource temporarily unavailable";
  RunBounded(
      [&] {
        TAgentSession worker(Parts->Context, Parts->Services, "127.0.0.1");
        for (uint32_t id = 1; id <= 3; ++id) Run(worker, id, "Echo", "in");
        for (uint32_t id = 1; id <= 3; ++id) EXPECT_EQ(FailureOf(ReportOf(id)), failure);
        EXPECT_TRUE(worker.StartupFailed());
        EXPECT_EQ(worker.GetTaskList(), "");
      },
      120s, "a session whose pool cannot start");
  EXPECT_GE(Platform.System.RefusedThreads(), 1);
  EXPECT_TRUE(Logged(failure));
  EXPECT_TRUE(Logged("WORKERTHREAD: Terminated."));
  EXPECT_EQ(User.Taken().size(), 3u) << "three reports, nothing fetched";
}

TEST_F(SessionTest, ALobbySessionWhoseWorkerCannotStartEndsAndLeavesTheStatus) {
  Platform.System.RefuseThreads("Pool thread");
  auto lobby = std::make_unique<TAgentLobby>(Parts->Context, Parts->Services);
  fake::TLobbyClient user("127.0.0.1", lobby->Port());
  ASSERT_TRUE(user.Connected);
  ASSERT_TRUE(user.RunTask("RUN_TASK 7 libtasklib_tasks.so Echo", "in"));
  EXPECT_EQ(FailureOf(ReportOf(7)), "WORKERTHREAD: unable to start the session: Resource temporarily unavailable");
  EXPECT_TRUE(user.ClosedByAgent(30000)) << "the lobby ends the session";
  EXPECT_TRUE(WaitUntil([&] { return Status() == "Unassigned, searching for coordinator..."; }, 30s))
      << Status();
  EXPECT_TRUE(Logged("AGENTLOBBYTHREAD: Session could not start, disconnecting."));
  RunBounded([&] { lobby.reset(); }, 120s, "lobby shutdown");
}

TEST_F(SessionTest, ALobbyThatCannotMakeTheWorkerRemovesTheSession) {
  Platform.System.RefuseThreads("AgentWorkerThread");
  auto lobby = std::make_unique<TAgentLobby>(Parts->Context, Parts->Services);
  fake::TLobbyClient user("127.0.0.1", lobby->Port());
  ASSERT_TRUE(user.Connected);
  // The connection closes after the session was registered, so the status
  // seen afterwards is the one after the session's end.
  EXPECT_TRUE(user.ClosedByAgent(30000));
  EXPECT_TRUE(WaitUntil([&] { return Status() == "Unassigned, searching for coordinator..."; }, 30s))
      << Status();
  EXPECT_EQ(Platform.System.RefusedThreads(), 1);
  EXPECT_TRUE(Logged("AGENTLOBBYTHREAD: exception Resource temporarily unavailable, closing socket"));
  EXPECT_TRUE(WaitUntil([&] { return Logged("AGENTLOBBYTHREAD: Exit"); }, 30s));
  RunBounded([&] { lobby.reset(); }, 120s, "lobby shutdown");
}

// A session that ends while its connect to the user waits for an answer
// gives the connect up at once, instead of after the connect's own bound.
TEST_F(SessionTest, TeardownCancelsAConnectTheUserNeverAnswers) {
  fake::TUnansweredListener silent;
  ASSERT_NE(silent.Port(), 0);
  Start(2, silent.Port());
  auto worker = std::make_unique<TAgentSession>(Parts->Context, Parts->Services, "127.0.0.1");
  ASSERT_TRUE(WaitUntil([&] { return Logged("AGENTPEER: Connecting to user data port, IP=127.0.0.1"); }, 10s));
  auto ending = std::async(std::launch::async, [&] { worker.reset(); });
  EXPECT_EQ(ending.wait_for(15s), std::future_status::ready) << "the connect would wait 20 s";
  ending.wait();
  EXPECT_TRUE(Logged("AGENTPEER: Unable to connect to user data port, IP=127.0.0.1"));
  EXPECT_TRUE(Logged("WORKERTHREAD: Terminated."));
}

// Users that stall in the middle of a GET_FILE or GET_DATA answer, or never
// read a large TASK_DONE, are dropped once their sessions end: the pool
// threads come back and teardown completes.
TEST_F(SessionTest, TeardownDropsUsersWhoStopAnswering) {
  User.StallThreeWays(ReadTextFile(KELVRA_TASKLIB_TASKS));
  std::vector<std::unique_ptr<TAgentSession>> workers;
  for (int i = 0; i < 3; ++i)
    workers.push_back(std::make_unique<TAgentSession>(Parts->Context, Parts->Services, "127.0.0.1"));
  Run(*workers[0], 1, "Echo", "", "libstall.so");
  Run(*workers[1], 2, "FetchData", "stalled");
  Run(*workers[2], 3, "Echo", std::string(8 << 20, 'x'));  // more than the socket buffers hold
  ASSERT_TRUE(WaitUntil([&] { return User.StalledThreeWays(); }, 30s));

  std::vector<std::future<void>> endings;
  for (auto& worker : workers) endings.push_back(std::async(std::launch::async, [&worker] { worker.reset(); }));
  bool ended = true;
  for (auto& ending : endings) ended &= ending.wait_for(30s) == std::future_status::ready;
  User.ReleaseStalls();  // frees an agent that would wait for ever
  for (auto& ending : endings) ending.wait();
  EXPECT_TRUE(ended) << "teardown waited for users that do not answer";
  size_t dropped = 0, unreceived = 0;
  for (const std::string& line : Log()) {
    dropped += line == "AGENTPEER: User does not answer, connection closed, IP=127.0.0.1\r";
    // The library's task says why it failed, not that the user lacks it.
    unreceived += line.starts_with("POOLTHREAD: unable to receive file libstall.so for task 1: SocketReadStreamTo: ");
  }
  EXPECT_EQ(dropped, 3u);
  EXPECT_EQ(unreceived, 1u);
}

// Tasks reach the pool from the lobby's AddTask and from pool threads that
// become free, racing each other: every task runs and is reported exactly
// once, in pools of one to three threads, whether the queue runs dry
// between tasks or stays long.
TEST_F(SessionTest, EveryTaskOfABusySessionIsReportedExactlyOnce) {
  for (int poolSize = 1; poolSize <= 3; ++poolSize) {
    Start(poolSize);
    const size_t before = User.Taken().size();
    constexpr uint32_t kTasks = 600;
    {
      TAgentSession worker(Parts->Context, Parts->Services, "127.0.0.1");
      for (uint32_t id = 1; id <= kTasks; ++id) {
        Run(worker, id, "Echo", std::to_string(id));
        if (id % 100 == 0) std::this_thread::sleep_for(5ms);  // let the queue run dry now and then
      }
      ASSERT_TRUE(WaitUntil([&] { return User.Taken().size() >= before + kTasks + 1; }, 60s)) << "pool of " << poolSize;
    }
    std::vector<fake::TFakeUser::TRequest> requests = User.Taken();
    std::map<uint32_t, int> reports;
    for (size_t i = before; i < requests.size(); ++i) {
      const auto& request = requests[i];
      if (request.Text.rfind("GET_FILE", 0) == 0) continue;  // the session's library
      std::vector<std::string> items = SplitCommandItems(request.Text);
      ASSERT_GE(items.size(), 2u) << request.Text;
      ASSERT_EQ(items[0], "TASK_DONE") << request.Text;
      const uint32_t id = static_cast<uint32_t>(std::stoul(items[1]));
      EXPECT_EQ(request.Block, std::to_string(id));
      ++reports[id];
    }
    EXPECT_EQ(reports.size(), kTasks) << "pool of " << poolSize;
    for (const auto& [id, count] : reports) EXPECT_EQ(count, 1) << "task " << id;
  }
}
