// The session pool and its threads, with a task runner that holds each task
// until the test lets it finish.
#include "Agent/T_AgentThreadPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <map>
#include <set>

#include "Agent/T_PoolThread.h"
#include "Common/T_GenericStream.h"
#include "SessionFixture.h"
#include "TestSupport.h"

using namespace std::chrono_literals;

namespace {

// Tasks start, record their thread and wait until opened (at most 10 s);
// finished tasks report here.
class TTaskGate : public ITaskReport {
 public:
  std::atomic<int> Reports{0};
  std::atomic<int> PeerFailures{0};
  TStreamRef Kept;  // a reference a "keep" task held on to

  void ReportTasks() override { ++Reports; }
  void MarkPeerFailed() override { ++PeerFailures; }
  TPoolTaskRunner Runner() {
    return [this](TPoolThread& thread, TPoolTaskItem& item) {
      std::unique_lock<std::mutex> lock(Mutex);
      ThreadOf[item.TaskId] = static_cast<int>(thread.Index());
      Changed.notify_all();
      Changed.wait_for(lock, 10s, [&] { return All || Opened.count(item.TaskId) > 0; });
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

int SessionA, SessionB;  // their addresses serve as session identities

struct PoolTest : ::testing::Test {
  TTempDir Dir;
  TTestPlatform Platform;
  std::unique_ptr<TAgentParts> Parts;
  TTaskGate Gate;
  std::unique_ptr<TAgentThreadPool> Pool;

  ~PoolTest() override {
    Gate.OpenAll();
    Pool.reset();
  }
  // Fresh parts for a machine of `processors`, with the settings `change`
  // makes; no pool yet.
  void MakeParts(int processors, const std::function<void(TAgentSettings&)>& change = nullptr) {
    Pool.reset();
    {
      std::lock_guard<std::mutex> guard(Platform.Debug.Mutex);
      Platform.Debug.Lines.clear();
    }
    Platform.System.Processors = processors;
    TAgentSettings settings = TestSettings(0);
    if (change) change(settings);
    Parts = std::make_unique<TAgentParts>(Platform, Dir, settings);
  }
  static std::unique_ptr<TAgentThreadPool> StartPool(TAgentParts& parts, TTaskGate& gate) {
    return std::make_unique<TAgentThreadPool>(parts.Context, parts.Closing, parts.Suspension,
                                              parts.Interface.Interface(), gate.Runner());
  }
  void MakePool(int processors, const std::function<void(TAgentSettings&)>& change = nullptr) {
    MakeParts(processors, change);
    Pool = StartPool(*Parts, Gate);
  }
  void Add(uint32_t id, void* session = &SessionA, const std::string& procedure = "run") {
    TStreamRef input(TGenericStream::Create());
    Pool->AddTask(session == &SessionA ? "10.0.0.1" : "10.0.0.2", session, input, "lib.so", procedure, id, &Gate,
                  nullptr, nullptr);
    EXPECT_FALSE(input);
  }
  // As the worker hands a task over: only once a pool thread is free.
  void Dispatch(uint32_t id, void* session = &SessionA, const std::string& procedure = "run") {
    ASSERT_TRUE(Pool->FreeThreadSemaphore().Handle().Wait(5000));
    Add(id, session, procedure);
  }
  // A pool of two whose threads both run a task: `first` and `first` + 1.
  void BusyPoolOfTwo(uint32_t first) {
    MakePool(2);
    for (uint32_t id : {first, first + 1}) {
      Dispatch(id);
      ASSERT_GE(Gate.WaitStarted(id), 0);
    }
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
};

}  // namespace

TEST_F(PoolTest, SizeComesFromProcessorsLessFreeCPUCount) {
  for (auto [free, size] : {std::pair{2, 4u}, {6, 1u}, {9, 1u}}) {
    MakePool(6, [free = free](TAgentSettings& settings) { settings.FreeCPUCount = static_cast<uint32_t>(free); });
    EXPECT_EQ(Pool->Size(), size);
    EXPECT_EQ(Count("Created pool of " + std::to_string(size) + " threads."), 1);
  }
  // Every thread is named and lowered to idle as it starts; one free-thread
  // count each, never more.
  EXPECT_EQ(Pool->FreeThreadSemaphore().Count(), 1);
  TSystemThreadId id = Pool->Thread(0).SystemId();
  auto changes = Platform.System.PriorityChanges();
  EXPECT_TRUE(std::any_of(changes.begin(), changes.end(),
                          [&](auto& change) { return change.Thread == id && change.Value == tpIdle; }));
  std::vector<std::string> names = Platform.System.ThreadNames();
  EXPECT_EQ(std::count(names.begin(), names.end(), "Pool thread"), 6);
}

TEST_F(PoolTest, PinsThreadsFromTheHighestAllowedProcessorDown) {
  Platform.System.AffinityMask = 15;
  MakePool(6);
  ASSERT_EQ(Pool->Size(), 6u);
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
    auto pin = std::find_if(pins.begin(), pins.end(), [&](auto& p) { return p.Thread == Pool->Thread(i).SystemId(); });
    ASSERT_NE(pin, pins.end());
    EXPECT_EQ(pin->Value, masks[i]) << "thread " << i;
  }
}

TEST_F(PoolTest, NoPinningWithoutExplicitCPUOrWithoutAllowedProcessor) {
  MakePool(4, [](TAgentSettings& settings) { settings.ExplicitCPU = false; });
  EXPECT_TRUE(LinesStarting("GetProcessAffinityMask").empty());
  Platform.System.AffinityMask = 0;  // only processors past 31 allowed
  MakePool(4);
  EXPECT_EQ(Count("GetProcessAffinityMask = 0."), 1);
  EXPECT_EQ(Count("THREADPOOL: none of processors 0..31 is allowed, threads are not pinned"), 1);
  EXPECT_TRUE(LinesStarting("Thread ").empty());
  EXPECT_TRUE(Platform.System.AffinityChanges().empty());
}

TEST_F(PoolTest, ListsQueuedThenRunningTasksOfOneSession) {
  ASSERT_NO_FATAL_FAILURE(BusyPoolOfTwo(7));
  const int thread7 = Gate.WaitStarted(7);
  Add(9);
  Add(10, &SessionB);
  std::string running = thread7 == 0 ? "7*, 8*" : "8*, 7*";
  EXPECT_EQ(Pool->ListTasks("10.0.0.1"), "9#, " + running);
  EXPECT_EQ(Pool->ListTasks("10.0.0.2"), "10#");
  EXPECT_EQ(Pool->ListTasks("10.0.0.3"), "");
  Gate.Open(8);
  ASSERT_GE(Gate.WaitStarted(9), 0);
  Gate.OpenAll();
  Pool->WaitForTasks(&SessionA);
  Pool->WaitForTasks(&SessionB);
  EXPECT_EQ(Pool->ListTasks("10.0.0.1"), "");
  EXPECT_TRUE(WaitUntil([&] { return Gate.Reports == 4 && Pool->FreeThreadSemaphore().Count() == 2; }));
}

TEST_F(PoolTest, WaitForTasksReturnsOnceTheSessionsItemsAreFreed) {
  MakePool(1);
  Dispatch(1);
  ASSERT_EQ(Gate.WaitStarted(1), 0);
  Add(2);
  Pool->WaitForTasks(&SessionB);  // nothing of that session: at once
  auto waiting = std::async(std::launch::async, [&] { Pool->WaitForTasks(&SessionA); });
  EXPECT_EQ(waiting.wait_for(300ms), std::future_status::timeout);
  Gate.Open(1);
  ASSERT_GE(Gate.WaitStarted(2), 0);
  EXPECT_EQ(waiting.wait_for(300ms), std::future_status::timeout);
  Gate.Open(2);
  ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(Pool->ListTasks("10.0.0.1"), "");
}

TEST_F(PoolTest, SuspensionHoldsNewTasksBackWhileRunningOnesFinish) {
  ASSERT_NO_FATAL_FAILURE(BusyPoolOfTwo(1));
  Parts->Suspension.SetSuspendSeconds(30);
  const int freeThreads = Pool->FreeThreadSemaphore().Count();
  Add(3);
  Gate.OpenAll();
  EXPECT_TRUE(WaitUntil([&] { return Gate.Reports == 2; }));
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(2500ms);
  EXPECT_LT(Gate.WaitStarted(3, 0ms), 0);
  EXPECT_EQ(Pool->FreeThreadSemaphore().Count(), freeThreads);  // held-back threads announce nothing
  long suspended = Count("Suspended...");
  EXPECT_GE(suspended, 4);                                 // each thread, about once a second
  EXPECT_LE(suspended, 2 * (ElapsedMs(start) / 1000 + 2));  // and no more often
  Parts->Suspension.SetSuspendSeconds(0);
  EXPECT_GE(Gate.WaitStarted(3), 0);
}

TEST_F(PoolTest, ClosingAgentEndsTheSuspension) {
  MakeParts(2);
  Parts->Suspension.SetSuspendSeconds(30);
  Pool = StartPool(*Parts, Gate);
  ASSERT_TRUE(WaitUntil([&] { return Count("Suspended...") >= 2; }));
  Parts->Closing.Set();
  Dispatch(1);
  EXPECT_GE(Gate.WaitStarted(1), 0);
}

// Each pool heeds only the suspension and the closing flag it was given: two
// agents' pools in one process do not hold each other back or release each
// other.
TEST_F(PoolTest, APoolHeedsOnlyItsOwnSuspensionAndClosingFlag) {
  MakeParts(1);
  Parts->Suspension.SetSuspendSeconds(30);
  Pool = StartPool(*Parts, Gate);
  TAgentParts other(Platform, Dir, TestSettings(0));
  TTaskGate otherGate;
  std::unique_ptr<TAgentThreadPool> otherPool = StartPool(other, otherGate);
  otherGate.OpenAll();
  Gate.OpenAll();

  ASSERT_TRUE(otherPool->FreeThreadSemaphore().Handle().Wait(5000));
  TStreamRef input(TGenericStream::Create());
  otherPool->AddTask("10.0.0.2", &SessionB, input, "lib.so", "run", 1, &otherGate, nullptr, nullptr);
  EXPECT_GE(otherGate.WaitStarted(1), 0) << "held back by the other pool's suspension";

  other.Closing.Set();
  const long before = Count("Suspended...");
  Add(2);
  // The held-back thread has looked at its flags again since (a whole pass).
  ASSERT_TRUE(WaitUntil([&] { return Count("Suspended...") >= before + 2; }));
  EXPECT_LT(Gate.WaitStarted(2, 0ms), 0) << "released by the other pool's closing flag";

  Parts->Suspension.SetSuspendSeconds(0);
  EXPECT_GE(Gate.WaitStarted(2), 0);
  otherPool.reset();
}

TEST_F(PoolTest, DestroyFinishesRunningTasksAndDropsQueuedOnes) {
  ASSERT_NO_FATAL_FAILURE(BusyPoolOfTwo(1));
  Add(3);
  Add(4);
  std::vector<TSystemThreadId> ids = {Pool->Thread(0).SystemId(), Pool->Thread(1).SystemId()};
  auto destroying = std::async(std::launch::async, [&] { Pool.reset(); });
  EXPECT_EQ(destroying.wait_for(300ms), std::future_status::timeout);  // task 1 or 2 still runs
  Gate.OpenAll();
  ASSERT_EQ(destroying.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(Gate.WaitStarted(3, 0ms), -1);  // dropped, never run
  EXPECT_EQ(Gate.WaitStarted(4, 0ms), -1);
  EXPECT_EQ(Gate.Reports, 2);
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

TEST_F(PoolTest, DestroyDuringSuspensionDoesNotWaitOutThePauses) {
  MakeParts(4);
  Parts->Suspension.SetSuspendSeconds(30);
  Pool = StartPool(*Parts, Gate);
  ASSERT_TRUE(WaitUntil([&] { return Count("Suspended...") >= 4; }));
  auto start = std::chrono::steady_clock::now();
  Pool.reset();
  EXPECT_LT(ElapsedMs(start), 3000);  // one pause each would take 4 s
  EXPECT_EQ(Count("PoolThread terminated..."), 4);
}

TEST_F(PoolTest, ATaskErrorOrAKeptInputStillFreesTheItem) {
  MakePool(1);
  Gate.OpenAll();
  Dispatch(5, &SessionA, "throw");
  Pool->WaitForTasks(&SessionA);
  EXPECT_TRUE(WaitUntil([&] { return Count("POOLTHREAD: exception \"boom\" in task 5") == 1; }));
  Dispatch(6, &SessionA, "keep");
  Pool->WaitForTasks(&SessionA);
  EXPECT_TRUE(WaitUntil([&] { return Count("POOLTHREAD: Assertion failure (Agent/T_PoolThread, line 83)") == 1; }));
  Gate.Kept.Drop();
  Dispatch(7);  // the thread goes on serving
  Pool->WaitForTasks(&SessionA);
  EXPECT_TRUE(WaitUntil([&] { return Gate.Reports == 3; }));
}

// An item whose run raised still ends in one report: without a peer to send
// TASK_FAILED by (as here), its session's peer is marked failed, once.
TEST_F(PoolTest, ARunThatRaisesWithoutAPeerMarksThePeerFailedOnce) {
  MakePool(1);
  Gate.OpenAll();
  Dispatch(5, &SessionA, "throw");
  Pool->WaitForTasks(&SessionA);
  EXPECT_TRUE(WaitUntil([&] { return Gate.Reports == 1; }));
  EXPECT_EQ(Gate.PeerFailures, 1);
  Dispatch(6);
  Pool->WaitForTasks(&SessionA);
  EXPECT_TRUE(WaitUntil([&] { return Gate.Reports == 2; }));
  EXPECT_EQ(Gate.PeerFailures, 1);
}

TEST_F(PoolTest, AddTaskRefusesAStreamWithAnotherHolder) {
  MakePool(1);
  TStreamRef input(TGenericStream::Create());
  TStreamRef other = TStreamRef::AddRefTo(input.Get());
  try {
    Pool->AddTask("10.0.0.1", &SessionA, input, "lib.so", "run", 1, &Gate, nullptr, nullptr);
    ADD_FAILURE() << "accepted";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "Assertion failure (Agent/T_AgentThreadPool, line 242)");
  }
  EXPECT_TRUE(input);  // still the caller's
  EXPECT_EQ(Pool->ListTasks("10.0.0.1"), "");
}

// A pool that cannot start all its threads is no pool: the threads already
// started end, and the system's refusal is raised.
TEST_F(PoolTest, AThreadRefusedHalfWayEndsTheThreadsStartedBefore) {
  MakeParts(4);
  Platform.System.RefuseThreads("Pool thread", 2);
  EXPECT_THROW(StartPool(*Parts, Gate), std::system_error);
  EXPECT_EQ(Platform.System.RefusedThreads(), 1);
  EXPECT_EQ(Count("PoolThread terminated..."), 2);
}

TEST_F(PoolTest, APriorityRefusalIsLoggedOnce) {
  Platform.System.PrioritiesAllowed = false;
  MakePool(3);
  Gate.OpenAll();
  Dispatch(1);  // work goes on at whatever priority the threads have
  Pool->WaitForTasks(&SessionA);
  Pool.reset();
  EXPECT_GE(Platform.System.PriorityChanges().size(), 6u);
  EXPECT_EQ(LinesStarting("AGENT: Unable to change a thread's priority").size(), 1u);
}
