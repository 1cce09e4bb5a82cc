// SPDX-License-Identifier: Apache-2.0
// A session's pool threads, with a task runner that holds each task until
// the test lets it finish; the session's peer talks to a fake user on
// 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <map>
#include <set>

#include "Agent/T_AgentPeer.h"
#include "Agent/T_AgentSession.h"
#include "Agent/T_PoolThread.h"
#include "Common/T_GenericStream.h"
#include "FakePeers.h"
#include "SessionFixture.h"
#include "TestSupport.h"

using namespace std::chrono_literals;

namespace {

// Tasks start, record their thread and wait until opened (at most 10 s),
// then count as finished.
class TTaskGate {
 public:
  std::atomic<int> Finished{0};
  TStreamRef Kept;  // a reference a "keep" task held on to

  TPoolTaskRunner Runner() {
    return [this](TPoolThread& thread, TPoolTaskItem& item) {
      std::unique_lock<std::mutex> lock(Mutex);
      ThreadOf[item.TaskId] = static_cast<int>(thread.Index());
      Changed.notify_all();
      Changed.wait_for(lock, 10s, [&] { return All || Opened.count(item.TaskId) > 0; });
      ++Finished;
      if (item.ProcedureName == "throw") throw std::runtime_error("boom");
      if (item.ProcedureName == "keep") Kept = TStreamRef::AddRefTo(item.Input.Get());
    };
  }
  void Open(uint32_t id, bool all = false) {
    std::lock_guard<std::mutex> guard(Mutex);
    Opened.insert(id);
    All = All || all;
    Changed.notify_all();
  }
  void OpenAll() { Open(0, true); }
  // The index of the thread that started `id`, or -1 if none did in time.
  int WaitStarted(uint32_t id, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock<std::mutex> lock(Mutex);
    return Changed.wait_for(lock, timeout, [&] { return ThreadOf.count(id) > 0; }) ? ThreadOf[id] : -1;
  }

 private:
  std::mutex Mutex;
  std::condition_variable Changed;
  std::map<uint32_t, int> ThreadOf;
  std::set<uint32_t> Opened;
  bool All = false;
};

struct SessionPoolTest : ::testing::Test {
  TTempDir Dir;
  TTestPlatform Platform;
  fake::TFakeUser User;
  std::unique_ptr<TAgentParts> Parts;
  TTaskGate Gate;
  std::unique_ptr<TAgentSession> Session;

  ~SessionPoolTest() override {
    Gate.OpenAll();
    Session.reset();
  }
  // Fresh parts for a machine of `processors`, with the settings `change`
  // makes; no session yet.
  void MakeParts(int processors, const std::function<void(TAgentSettings&)>& change = nullptr) {
    Session.reset();
    {
      std::lock_guard<std::mutex> guard(Platform.Debug.Mutex);
      Platform.Debug.Lines.clear();
    }
    Platform.System.Processors = processors;
    TAgentSettings settings = TestSettings(User.Port());
    if (change) change(settings);
    Parts = std::make_unique<TAgentParts>(Platform, Dir, settings);
  }
  // A session of `parts` whose tasks run through `gate`, once its pool is
  // whole.
  static std::unique_ptr<TAgentSession> StartSession(TAgentParts& parts, TTaskGate& gate) {
    auto session = std::make_unique<TAgentSession>(parts.Context, parts.Services, "127.0.0.1", gate.Runner());
    EXPECT_TRUE(WaitUntil([&] { return session->PoolThreadId(session->PoolSize() - 1) != 0; }, 10s));
    return session;
  }
  void MakeSession(int processors, const std::function<void(TAgentSettings&)>& change = nullptr) {
    MakeParts(processors, change);
    Session = StartSession(*Parts, Gate);
  }
  void Add(uint32_t id, const std::string& procedure = "run") { Add(*Session, id, procedure); }
  static void Add(TAgentSession& session, uint32_t id, const std::string& procedure = "run") {
    TStreamRef input(TGenericStream::Create());
    session.AddTask(id, "lib.so", procedure, input);
    EXPECT_FALSE(input);
  }
  // A session of two pool threads that both run a task: `first` and
  // `first` + 1.
  void BusyPoolOfTwo(uint32_t first) {
    MakeSession(2);
    for (uint32_t id : {first, first + 1}) {
      Add(id);
      ASSERT_GE(Gate.WaitStarted(id), 0);
    }
  }
  // True once no task of the session is running or waiting.
  bool Drained() {
    return WaitUntil([&] { return Session->GetTaskList().empty(); }, 10s);
  }
  // Log lines without their carriage return.
  std::vector<std::string> Log() {
    std::vector<std::string> lines = Platform.Debug.Taken();
    for (std::string& line : lines)
      if (!line.empty() && line.back() == '\r') line.pop_back();
    return lines;
  }
  long Count(const std::string& line) {
    std::vector<std::string> lines = Log();
    return std::count(lines.begin(), lines.end(), line);
  }
  std::vector<std::string> LinesStarting(const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& line : Log())
      if (line.rfind(prefix, 0) == 0) found.push_back(line);
    return found;
  }
  // The texts of the reports the user received.
  std::vector<std::string> Reports() {
    std::vector<std::string> texts;
    for (const auto& request : User.Taken()) texts.push_back(request.Text);
    return texts;
  }
};

}  // namespace

TEST_F(SessionPoolTest, SizeComesFromProcessorsLessFreeCPUCount) {
  for (auto [free, size] : {std::pair{2, 4u}, {6, 1u}, {9, 1u}}) {
    MakeSession(6, [free = free](TAgentSettings& settings) { settings.FreeCPUCount = static_cast<uint32_t>(free); });
    EXPECT_EQ(Session->PoolSize(), size);
    EXPECT_EQ(Count("Created pool of " + std::to_string(size) + " threads."), 1);
  }
  // Every thread is named and lowered to idle as it starts.
  TSystemThreadId id = Session->PoolThreadId(0);
  auto changes = Platform.System.PriorityChanges();
  EXPECT_TRUE(std::any_of(changes.begin(), changes.end(),
                          [&](auto& change) { return change.Thread == id && change.Value == tpIdle; }));
  std::vector<std::string> names = Platform.System.ThreadNames();
  EXPECT_EQ(std::count(names.begin(), names.end(), "Pool thread"), 6);
}

TEST_F(SessionPoolTest, PinsThreadsFromTheHighestAllowedProcessorDown) {
  Platform.System.AffinityMask = 15;
  MakeSession(6);
  ASSERT_EQ(Session->PoolSize(), 6u);
  std::vector<std::string> expected = {"GetProcessAffinityMask = 15.", "Thread 5 affinity = 8.",
                                       "Thread 4 affinity = 4.",       "Thread 3 affinity = 2.",
                                       "Thread 2 affinity = 1.",       "Thread 1 affinity = 8.",
                                       "Thread 0 affinity = 4."};
  std::vector<std::string> lines = Log();
  std::vector<std::string> affinity;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(affinity),
               [](const std::string& line) { return line.find("ffinity") != std::string::npos; });
  EXPECT_EQ(affinity, expected);
  auto pins = Platform.System.AffinityChanges();
  ASSERT_EQ(pins.size(), 6u);
  const uint32_t masks[] = {4, 8, 1, 2, 4, 8};
  for (uint32_t i = 0; i < 6; ++i) {
    auto pin = std::find_if(pins.begin(), pins.end(),
                            [&](auto& p) { return p.Thread == Session->PoolThreadId(i); });
    ASSERT_NE(pin, pins.end());
    EXPECT_EQ(pin->Value, masks[i]) << "thread " << i;
  }
}

TEST_F(SessionPoolTest, NoPinningWithoutExplicitCPUOrWithoutAllowedProcessor) {
  MakeSession(4, [](TAgentSettings& settings) { settings.ExplicitCPU = false; });
  EXPECT_TRUE(LinesStarting("GetProcessAffinityMask").empty());
  Platform.System.AffinityMask = 0;  // only processors past 31 allowed
  MakeSession(4);
  EXPECT_EQ(Count("GetProcessAffinityMask = 0."), 1);
  EXPECT_EQ(Count("THREADPOOL: none of processors 0..31 is allowed, threads are not pinned"), 1);
  EXPECT_TRUE(LinesStarting("Thread ").empty());
  EXPECT_TRUE(Platform.System.AffinityChanges().empty());
}

// Running tasks in thread order, then the waiting ones; a thread that
// becomes free takes the next waiting task itself, with nothing more sent.
TEST_F(SessionPoolTest, ListsRunningThenWaitingTasksAndFreeThreadsTakeTheNext) {
  ASSERT_NO_FATAL_FAILURE(BusyPoolOfTwo(7));
  const int thread7 = Gate.WaitStarted(7);
  Add(9);
  Add(10);
  const std::string running = thread7 == 0 ? "7*, 8*" : "8*, 7*";
  EXPECT_EQ(Session->GetTaskList(), running + ",9,10");
  Gate.Open(8);
  EXPECT_EQ(Gate.WaitStarted(9), 1 - thread7) << "8's thread takes 9";
  const std::string now = thread7 == 0 ? "7*, 9*" : "9*, 7*";
  EXPECT_TRUE(WaitUntil([&] { return Session->GetTaskList() == now + ",10"; })) << Session->GetTaskList();
  Gate.Open(7);
  EXPECT_EQ(Gate.WaitStarted(10), thread7) << "7's thread takes 10";
  Gate.OpenAll();
  EXPECT_TRUE(Drained());
  EXPECT_EQ(Gate.Finished, 4);
}

TEST_F(SessionPoolTest, SuspensionHoldsNewTasksBackWhileRunningOnesFinish) {
  ASSERT_NO_FATAL_FAILURE(BusyPoolOfTwo(1));
  Parts->Suspension.SetSuspendSeconds(30);
  Add(3);
  Gate.OpenAll();
  EXPECT_TRUE(WaitUntil([&] { return Gate.Finished == 2; }));
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(2500ms);
  EXPECT_LT(Gate.WaitStarted(3, 0ms), 0);
  EXPECT_EQ(Session->GetTaskList(), "3");  // held-back threads take nothing, nothing shows as handed over
  long suspended = Count("Suspended...");
  EXPECT_GE(suspended, 4);                                 // each thread, about once a second
  EXPECT_LE(suspended, 2 * (ElapsedMs(start) / 1000 + 2));  // and no more often
  Parts->Suspension.SetSuspendSeconds(0);
  EXPECT_GE(Gate.WaitStarted(3), 0);
}

TEST_F(SessionPoolTest, ClosingAgentEndsTheSuspension) {
  MakeParts(2);
  Parts->Suspension.SetSuspendSeconds(30);
  Session = StartSession(*Parts, Gate);
  ASSERT_TRUE(WaitUntil([&] { return Count("Suspended...") >= 2; }));
  Parts->Closing.Set();
  Add(1);
  EXPECT_GE(Gate.WaitStarted(1), 0);
}

// Each session heeds only the suspension and the closing flag it was given:
// two agents' sessions in one process do not hold each other back or
// release each other.
TEST_F(SessionPoolTest, ASessionHeedsOnlyItsOwnSuspensionAndClosingFlag) {
  MakeParts(1);
  Parts->Suspension.SetSuspendSeconds(30);
  Session = StartSession(*Parts, Gate);
  TAgentParts other(Platform, Dir, TestSettings(User.Port()));
  TTaskGate otherGate;
  std::unique_ptr<TAgentSession> otherSession = StartSession(other, otherGate);
  otherGate.OpenAll();
  Gate.OpenAll();

  Add(*otherSession, 1);
  EXPECT_GE(otherGate.WaitStarted(1), 0) << "held back by the other session's suspension";

  other.Closing.Set();
  const long before = Count("Suspended...");
  Add(2);
  // The held-back thread has looked at its flags again since (a whole pass).
  ASSERT_TRUE(WaitUntil([&] { return Count("Suspended...") >= before + 2; }));
  EXPECT_LT(Gate.WaitStarted(2, 0ms), 0) << "released by the other session's closing flag";

  Parts->Suspension.SetSuspendSeconds(0);
  EXPECT_GE(Gate.WaitStarted(2), 0);
  otherSession.reset();
}

// The end of a session waits for its running tasks, then ends the threads
// in index order; waiting tasks are dropped without running.
TEST_F(SessionPoolTest, DestroyFinishesRunningTasksAndDropsWaitingOnes) {
  ASSERT_NO_FATAL_FAILURE(BusyPoolOfTwo(1));
  Add(3);
  Add(4);
  std::vector<TSystemThreadId> ids = {Session->PoolThreadId(0), Session->PoolThreadId(1)};
  auto destroying = std::async(std::launch::async, [&] { Session.reset(); });
  EXPECT_EQ(destroying.wait_for(300ms), std::future_status::timeout);  // tasks 1 and 2 still run
  Gate.Open(1);
  EXPECT_EQ(destroying.wait_for(300ms), std::future_status::timeout) << "task 2 still runs";
  Gate.OpenAll();
  ASSERT_EQ(destroying.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(Gate.WaitStarted(3, 0ms), -1);  // dropped, never run
  EXPECT_EQ(Gate.WaitStarted(4, 0ms), -1);
  EXPECT_EQ(Gate.Finished, 2);
  EXPECT_EQ(LinesStarting("THREADPOOL:"),
            (std::vector<std::string>{"THREADPOOL: terminating thread 0...", "THREADPOOL: thread 0 terminated",
                                      "THREADPOOL: terminating thread 1...", "THREADPOOL: thread 1 terminated"}));
  EXPECT_EQ(Count("PoolThread terminated..."), 2);
  // Raised to normal before being asked to end.
  auto changes = Platform.System.PriorityChanges();
  for (TSystemThreadId id : ids)
    EXPECT_TRUE(std::any_of(changes.begin(), changes.end(),
                            [&](auto& change) { return change.Thread == id && change.Value == tpNormal; }));
}

TEST_F(SessionPoolTest, DestroyDuringSuspensionDoesNotWaitOutThePauses) {
  MakeParts(4);
  Parts->Suspension.SetSuspendSeconds(30);
  Session = StartSession(*Parts, Gate);
  ASSERT_TRUE(WaitUntil([&] { return Count("Suspended...") >= 4; }));
  auto start = std::chrono::steady_clock::now();
  Session.reset();
  EXPECT_LT(ElapsedMs(start), 3000);  // one pause each would take 4 s
  EXPECT_EQ(Count("PoolThread terminated..."), 4);
}

TEST_F(SessionPoolTest, ATaskErrorOrAKeptInputStillFreesTheItem) {
  MakeSession(1);
  Gate.OpenAll();
  Add(5, "throw");
  EXPECT_TRUE(Drained());
  EXPECT_TRUE(WaitUntil([&] { return Count("POOLTHREAD: exception \"boom\" in task 5") == 1; }));
  Add(6, "keep");
  EXPECT_TRUE(Drained());
  EXPECT_TRUE(WaitUntil([&] { return Count("POOLTHREAD: Assertion failure (Agent/T_PoolThread, line 83)") == 1; }));
  Gate.Kept.Drop();
  Add(7);  // the thread goes on serving
  EXPECT_TRUE(Drained());
  EXPECT_EQ(Gate.Finished, 3);
  // The error is the task's one report; the session goes on.
  EXPECT_TRUE(WaitUntil([&] { return User.Taken().size() == 1; }));
  EXPECT_EQ(Reports(),
            std::vector<std::string>{TAgentPeer::TaskFailedText(5, "POOLTHREAD: exception \"boom\" in task 5")});
  EXPECT_FALSE(Session->PeerFailed());
}

// An item whose run raised still ends in one report: when TASK_FAILED
// cannot be sent (the user was never reached, as here), the session's peer
// is marked failed, once.
TEST_F(SessionPoolTest, ARunThatRaisesWithoutAUserMarksThePeerFailedOnce) {
  uint16_t closedPort = 0;
  {
    fake::TFakeUser gone;
    closedPort = gone.Port();
  }
  MakeParts(1, [&](TAgentSettings& settings) { settings.DataPort = closedPort; });
  Session = StartSession(*Parts, Gate);
  Gate.OpenAll();
  Add(5, "throw");
  EXPECT_TRUE(Drained());
  EXPECT_TRUE(Session->PeerFailed());
  Add(6);
  EXPECT_TRUE(Drained());
  EXPECT_EQ(Gate.Finished, 2);
}

TEST_F(SessionPoolTest, AddTaskRefusesAStreamWithAnotherHolder) {
  MakeSession(1);
  TStreamRef input(TGenericStream::Create());
  TStreamRef other = TStreamRef::AddRefTo(input.Get());
  try {
    Session->AddTask(1, "lib.so", "run", input);
    ADD_FAILURE() << "accepted";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "Assertion failure (Agent/T_AgentWorkerThread, line 145)");
  }
  EXPECT_TRUE(input);  // still the caller's
  EXPECT_EQ(Session->GetTaskList(), "");
}

// A session that cannot start all its pool threads does not start: the
// threads already started end, and the refusal is the start-up's failure.
TEST_F(SessionPoolTest, AThreadRefusedHalfWayEndsTheThreadsStartedBefore) {
  MakeParts(4);
  Platform.System.RefuseThreads("Pool thread", 2);
  Session = std::make_unique<TAgentSession>(Parts->Context, Parts->Services, "127.0.0.1", Gate.Runner());
  ASSERT_TRUE(WaitUntil([&] { return Session->StartupFailed(); }, 10s));
  EXPECT_EQ(Platform.System.RefusedThreads(), 1);
  EXPECT_EQ(Count("PoolThread terminated..."), 2);
  EXPECT_EQ(LinesStarting("THREADPOOL:"),
            (std::vector<std::string>{"THREADPOOL: terminating thread 0...", "THREADPOOL: thread 0 terminated",
                                      "THREADPOOL: terminating thread 1...", "THREADPOOL: thread 1 terminated"}));
  EXPECT_EQ(Session->PoolThreadId(0), 0u);
}

TEST_F(SessionPoolTest, APriorityRefusalIsLoggedOnce) {
  Platform.System.PrioritiesAllowed = false;
  MakeSession(3);
  Gate.OpenAll();
  Add(1);  // work goes on at whatever priority the threads have
  EXPECT_TRUE(Drained());
  Session.reset();
  EXPECT_GE(Platform.System.PriorityChanges().size(), 6u);
  EXPECT_EQ(LinesStarting("AGENT: Unable to change a thread's priority").size(), 1u);
}
