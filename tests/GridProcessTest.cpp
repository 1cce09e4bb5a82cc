// SPDX-License-Identifier: Apache-2.0
// The client library against real agents: each agent a kelvra-agent
// process with its own folders and loopback ports, the grid in this
// process serving the test task libraries and data blocks on its data
// port. Every result must come exactly once, whatever happens to the
// agents.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "FakePeers.h"
#include "MinisignSupport.h"
#include "T_AgentProcess.h"
#include "TestSupport.h"
#include "kelvra/kelvra_client.h"

namespace {

using namespace std::chrono_literals;

// One agent process whose user data port is the grid's.
class TTestAgent {
 public:
  // `agentExtra`: settings of its [agent] section besides the usual;
  // `environment`: variables set for it ("NAME=value").
  TTestAgent(uint16_t dataPort, uint16_t coordinatorPort, const std::string& agentExtra = "",
             std::vector<std::string> environment = {})
      : Environment(std::move(environment)) {
    WriteTextFile(Dir / "kelvra.INI",
                  "[agent]\n" + agentExtra + TestIsolation() + "bind_ip=127.0.0.1\nbind_port=" + std::to_string(LobbyPort) +
                      "\nenableDebugOutput=1\nexplicitCPU=0\nsuspend_timeout=0\nbroadcast_port=0\n"
                      "[coordinator]\ncoordinator_ip=127.0.0.1\nallowDiscardCoordinatorIp=0\nbind_port=" +
                      std::to_string(coordinatorPort) + "\n[user]\ndata_port=" + std::to_string(dataPort) + "\n");
    Start();
    // Ready once its lobby listens: a probe connection would be a session,
    // which connects back to the data port where the grid is about to be.
    Ready = WaitUntil([&] { return fake::Listening("127.0.0.1", LobbyPort); }, 60s);
  }
  // The process again, with the same settings (after it has ended).
  void Start() {
    Process = std::make_unique<TAgentProcess>(Dir, std::vector<std::string>{"--headless", "--config", Dir / "kelvra.INI"},
                                              false, "", Environment);
  }
  ~TTestAgent() {
    if (Process && Process->Id() > 0) {
      Process->Signal(SIGTERM);
      Process->WaitExit(60s);
    }
  }

  void Kill() {
    Process->Signal(SIGKILL);
    Process->WaitExit(60s);
  }
  kelvra::TAgentAddress Address() const {
    return kelvra::TAgentAddress::Parse("127.0.0.1:" + std::to_string(LobbyPort));
  }
  std::string Log() const { return Process->Err(); }

  TTempDir Dir;
  const std::vector<std::string> Environment;
  uint16_t LobbyPort = fake::FreePort();
  std::unique_ptr<TAgentProcess> Process;
  bool Ready = false;
};

// Every result the grid hands over, and how often each index came.
class TResults {
 public:
  std::function<void(const kelvra::TTaskResult&)> Handler() {
    return [this](const kelvra::TTaskResult& result) {
      std::lock_guard<std::mutex> guard(Mutex);
      ++Calls[result.Index];
      Last[result.Index] = result;
    };
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(Mutex);
    return Last.size();
  }
  // Each of indexes 0..n-1 exactly once, and nothing else.
  void ExpectEachOnce(uint64_t n) {
    std::lock_guard<std::mutex> guard(Mutex);
    EXPECT_EQ(Calls.size(), n);
    for (uint64_t i = 0; i < n; ++i) EXPECT_EQ(Calls[i], 1) << "task " << i;
  }
  // And each of them (but `except`) done, its output `prefix` + its index.
  void ExpectEachEchoedOnce(uint64_t n, const std::string& prefix, uint64_t except = UINT64_MAX) {
    ExpectEachOnce(n);
    std::lock_guard<std::mutex> guard(Mutex);
    for (uint64_t i = 0; i < n; ++i) {
      if (i == except) continue;
      EXPECT_TRUE(Last[i].Ok) << i << ": " << Last[i].Failure;
      EXPECT_EQ(Last[i].Output, prefix + std::to_string(i));
    }
  }
  kelvra::TTaskResult Get(uint64_t index) {
    std::lock_guard<std::mutex> guard(Mutex);
    return Last[index];
  }

 private:
  std::mutex Mutex;
  std::map<uint64_t, int> Calls;
  std::map<uint64_t, kelvra::TTaskResult> Last;
};

// Starts each agent again once its process has ended, as a service manager
// would, until destroyed: at most `most` times in all, within two minutes.
// The agents are the restarter's while it lives.
class TRestarter {
 public:
  TRestarter(std::vector<std::unique_ptr<TTestAgent>>& agents, int most)
      : Thread([this, &agents, most] {
          const auto until = std::chrono::steady_clock::now() + 120s;
          while (!Stop.load() && Restarts.load() < most && std::chrono::steady_clock::now() < until) {
            for (auto& agent : agents) {
              if (agent->Process->WaitExit(1ms) < 0) continue;  // running (after a 20 ms look)
              agent->Start();
              ++Restarts;
            }
          }
        }) {}
  ~TRestarter() {
    Stop = true;
    Thread.join();
  }
  std::atomic<int> Restarts{0};

 private:
  std::atomic<bool> Stop{false};
  std::thread Thread;
};

struct GridTest : ::testing::Test {
  fake::TFramedServer Coordinator;  // takes the agents' status reports
  uint16_t DataPort = fake::FreePort();
  std::vector<std::unique_ptr<TTestAgent>> Agents;
  TResults Results;

  void StartAgents(int count, const std::string& agentExtra = "") {
    for (int i = 0; i < count; ++i) {
      Agents.push_back(std::make_unique<TTestAgent>(DataPort, Coordinator.Port(), agentExtra));
      ASSERT_TRUE(Agents.back()->Ready) << Agents.back()->Log();
    }
  }
  kelvra::TGridOptions Options() {
    kelvra::TGridOptions options;
    for (const auto& agent : Agents) options.Agents.push_back(agent->Address());
    options.DataPort = DataPort;
    options.DataBindAddress = "127.0.0.1";
    return options;
  }
  // `agents` agents and a grid on them that serves the test tasks and
  // hands every result to Results; null when an agent did not start.
  std::unique_ptr<kelvra::TGrid> StartGrid(int agents,
                                           const std::function<void(kelvra::TGridOptions&)>& adjust = nullptr) {
    StartAgents(agents);
    return HasFatalFailure() ? nullptr : MakeGrid(adjust);
  }
  // The same on the agents started; `adjust` changes the options first.
  std::unique_ptr<kelvra::TGrid> MakeGrid(const std::function<void(kelvra::TGridOptions&)>& adjust = nullptr) {
    kelvra::TGridOptions options = Options();
    if (adjust) adjust(options);
    auto grid = std::make_unique<kelvra::TGrid>(options);
    ServeTasks(*grid);
    grid->OnResult(Results.Handler());
    return grid;
  }
  // The error a grid with `options` fails to start with.
  static std::string StartError(const kelvra::TGridOptions& options) {
    try {
      kelvra::TGrid grid(options);
    } catch (const kelvra::EGridError& error) {
      return error.what();
    }
    ADD_FAILURE() << "the grid started";
    return "";
  }
  static void ServeTasks(kelvra::TGrid& grid) { grid.AddFileFromPath(KELVRA_TASKLIB_TASKS); }
  static std::vector<std::string> Library() { return {"libtasklib_tasks.so"}; }
  static std::string AllWarnings(const kelvra::TGrid& grid) {
    std::string all;
    for (const std::string& warning : grid.Warnings()) all += warning + "\n";
    return all;
  }
  static bool HasWarning(const kelvra::TGrid& grid, const std::string& part) {
    for (const std::string& warning : grid.Warnings())
      if (warning.find(part) != std::string::npos) return true;
    return false;
  }
  // Echoes and one poison task (it ends the session it runs in, _exit in
  // the task): the poison is given up after 3 attempts, that is 3 sessions
  // ended, and every echo is done once.
  void RunWithPoison(kelvra::TGrid& grid) {
    constexpr uint64_t kTasks = 31;
    constexpr uint64_t kPoison = 10;
    grid.AddFileFromPath(KELVRA_TASKLIB_CONFINE);
    for (uint64_t i = 0; i < kTasks; ++i) {
      if (i == kPoison)
        grid.Submit({"libtasklib_confine.so"}, "UnderscoreExit0", "0");
      else
        grid.Submit(Library(), "Echo", "echo " + std::to_string(i));
    }
    ASSERT_TRUE(grid.WaitAll(180000));
    Results.ExpectEachEchoedOnce(kTasks, "echo ", kPoison);
    const kelvra::TTaskResult poison = Results.Get(kPoison);
    EXPECT_FALSE(poison.Ok);
    EXPECT_EQ(poison.Failure.rfind("given up after 3 attempts: ", 0), 0u) << poison.Failure;
    // The last session's end may be seen after the give-up.
    const auto sessionsEnded = [&] {
      uint64_t ended = 0;
      for (const kelvra::TAgentSummary& summary : grid.AgentSummaries()) ended += summary.SessionsEnded;
      return ended;
    };
    EXPECT_TRUE(WaitUntil([&] { return sessionsEnded() >= 3; }, 30s));
    EXPECT_EQ(sessionsEnded(), 3u);
    for (const kelvra::TAgentSummary& summary : grid.AgentSummaries())
      EXPECT_FALSE(summary.Lost) << summary.Agent << ": " << summary.Reason;
  }
};

TEST_F(GridTest, ManyTasksOverTwoAgentsEachAnsweredOnceByItsAgent) {
  auto grid = StartGrid(2);
  ASSERT_TRUE(grid);
  EXPECT_EQ(grid->Progress().AgentsUp, 2u);
  EXPECT_GE(grid->Progress().PoolThreads, 2u);

  constexpr uint64_t kTasks = 600;
  for (uint64_t i = 0; i < kTasks; ++i)
    ASSERT_EQ(grid->Submit(Library(), "Echo", "input " + std::to_string(i)), i);
  // A task with a future of its own: the future has it, the callback not.
  std::future<kelvra::TTaskResult> own = grid->SubmitAsync(Library(), "Echo", "own");
  ASSERT_TRUE(grid->WaitAll(120000));

  Results.ExpectEachEchoedOnce(kTasks, "input ");
  std::set<std::string> answeredBy;
  for (uint64_t i = 0; i < kTasks; ++i) answeredBy.insert(Results.Get(i).Agent);
  EXPECT_EQ(answeredBy, (std::set<std::string>{Agents[0]->Address().Text(), Agents[1]->Address().Text()}));
  ASSERT_EQ(own.wait_for(0s), std::future_status::ready);
  EXPECT_EQ(own.get().Output, "own");
  const kelvra::TGridProgress progress = grid->Progress();
  EXPECT_EQ(progress.Submitted, kTasks + 1);
  EXPECT_EQ(progress.Done, kTasks + 1);
  EXPECT_EQ(progress.Failed, 0u);
  EXPECT_TRUE(grid->Warnings().empty()) << grid->Warnings().front();
}

TEST_F(GridTest, AgentKilledMidRunItsTasksFinishOnTheOtherOnce) {
  auto grid = StartGrid(2);
  ASSERT_TRUE(grid);
  constexpr uint64_t kTasks = 300;
  for (uint64_t i = 0; i < kTasks; ++i) grid->Submit(Library(), "SlowEcho", "slow " + std::to_string(i));
  // Both agents are busy (20 ms a task) and each holds a full window of
  // unanswered tasks while the queue lasts: the killed one takes some along.
  ASSERT_TRUE(WaitUntil([&] { return Results.Count() >= 40; }, 120s));
  const std::string killed = Agents[0]->Address().Text();
  Agents[0]->Kill();

  ASSERT_TRUE(grid->WaitAll(180000));
  Results.ExpectEachEchoedOnce(kTasks, "slow ");
  EXPECT_TRUE(WaitUntil([&] { return HasWarning(*grid, "agent " + killed + " is lost"); }, 60s));
  EXPECT_EQ(grid->Progress().AgentsUp, 1u);
}

TEST_F(GridTest, FailingTaskGetsTheAgentsTextAndTheOthersAreStillDone) {
  auto grid = StartGrid(1);
  ASSERT_TRUE(grid);
  constexpr uint64_t kTasks = 41;
  constexpr uint64_t kFailing = 20;
  for (uint64_t i = 0; i < kTasks; ++i)
    grid->Submit(Library(), i == kFailing ? "ReturnFalse" : "Echo", "echo " + std::to_string(i));
  ASSERT_TRUE(grid->WaitAll(120000));

  Results.ExpectEachEchoedOnce(kTasks, "echo ", kFailing);
  const kelvra::TTaskResult failed = Results.Get(kFailing);
  EXPECT_FALSE(failed.Ok);
  EXPECT_NE(failed.Failure.find("POOLTHREAD: exception \"TaskProc returned false\" in task "), std::string::npos)
      << failed.Failure;
  EXPECT_EQ(failed.Agent, Agents[0]->Address().Text());
  EXPECT_EQ(grid->Progress().Failed, 1u);
  EXPECT_EQ(grid->Progress().Done, kTasks - 1);
  // The failure ends the session (at the agent's next command: all tasks
  // may be answered by then, and the next command is a keep-alive); the
  // grid opens another and goes on.
  EXPECT_TRUE(WaitUntil([&] { return HasWarning(*grid, "session ended"); }, 30s));
  EXPECT_TRUE(WaitUntil([&] { return grid->Progress().AgentsUp == 1; }, 30s));
  std::future<kelvra::TTaskResult> after = grid->SubmitAsync(Library(), "Echo", "after");
  ASSERT_TRUE(grid->WaitAll(60000));
  EXPECT_EQ(after.get().Output, "after");
}

TEST_F(GridTest, DataBlocksAndInputsServedPlainAndCompressed) {
  StartAgents(1);
  TTempDir files;
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i % 97) + " of a compressible block\n";
  WriteTextFile(files / "plain.txt", "plain bytes\n\x01\x02 as they are");
  WriteTextFile(files / "packed.txt", text);

  kelvra::TGrid grid(Options());
  ServeTasks(grid);
  grid.AddDataFromPath("plain", files / "plain.txt");
  grid.AddDataFromPath("packed", files / "packed.txt", true);
  auto plain = grid.SubmitAsync(Library(), "FetchData", "plain");
  auto packed = grid.SubmitAsync(Library(), "FetchData", "packed");
  auto input = grid.SubmitAsync(Library(), "Echo", text, true);
  ASSERT_TRUE(grid.WaitAll(120000));

  EXPECT_EQ(plain.get().Output, ReadTextFile(files / "plain.txt"));
  EXPECT_EQ(packed.get().Output, text);  // inflated by the agent
  EXPECT_EQ(input.get().Output, text);
  // The compressed forms crossed the wire: the agent says it inflated.
  EXPECT_NE(Agents[0]->Log().find("Decompressing"), std::string::npos);
}

TEST_F(GridTest, UnknownFilesAndDataAreClearErrors) {
  StartAgents(1);
  kelvra::TGrid grid(Options());
  ServeTasks(grid);
  try {
    grid.Submit({"libmissing.so"}, "Echo", "x");
    FAIL() << "a library that was never added is refused";
  } catch (const kelvra::EGridError& error) {
    EXPECT_NE(std::string(error.what()).find("libmissing.so"), std::string::npos) << error.what();
  }
  EXPECT_THROW(grid.AddFileFromPath("/nonexistent/libnothing.so"), kelvra::EGridError);
  EXPECT_THROW(grid.Submit(Library(), "Two words", "x"), kelvra::EGridError);
  // A block the grid does not have: GetData fails, and the task with it.
  auto missing = grid.SubmitAsync(Library(), "FetchData", "nowhere");
  ASSERT_TRUE(grid.WaitAll(60000));
  EXPECT_FALSE(missing.get().Ok);
  EXPECT_TRUE(HasWarning(grid, "data block \"nowhere\""));
}

// An agent with trusted keys runs a library whose signature lies beside it
// (or was added from memory), and fails one without, saying why.
TEST_F(GridTest, SignedLibrariesRunOnAnAgentWithTrustedKeysAndAnUnsignedOneIsRefused) {
  if (!MinisignInstalled()) GTEST_SKIP() << "minisign is not installed";
  TTempDir files;
  ASSERT_TRUE(MakeMinisignKey(files.Get(), "grid"));
  const std::string library = ReadTextFile(KELVRA_TASKLIB_TASKS);
  WriteTextFile(files / "libsigned.so", library);
  WriteTextFile(files / "libplain.so", library);
  ASSERT_TRUE(MinisignSign(files / "grid.key", files / "libsigned.so"));
  StartAgents(1, "trusted_keys=" + (files / "grid.pub") + "\n");

  kelvra::TGrid grid(Options());
  grid.AddFileFromPath(files / "libsigned.so");
  grid.AddFileFromPath(files / "libplain.so");
  grid.AddFile("libmemory.so", library);
  grid.AddFile("libmemory.so.minisig", ReadTextFile(files / "libsigned.so.minisig"));
  auto fromPath = grid.SubmitAsync({"libsigned.so"}, "Echo", "beside");
  auto fromMemory = grid.SubmitAsync({"libmemory.so"}, "Echo", "in memory");
  ASSERT_TRUE(grid.WaitAll(60000));
  EXPECT_EQ(fromPath.get().Output, "beside");
  EXPECT_EQ(fromMemory.get().Output, "in memory");

  auto plain = grid.SubmitAsync({"libplain.so"}, "Echo", "x");
  ASSERT_TRUE(grid.WaitAll(60000));
  const kelvra::TTaskResult refused = plain.get();
  EXPECT_FALSE(refused.Ok);
  EXPECT_EQ(refused.Failure, "library libplain.so is not signed by a trusted key: the user sent no signature");
}

TEST_F(GridTest, DataPortTakenIsAnError) {
  uint16_t taken = 0;
  const int holder = fake::Listen(0, taken);
  kelvra::TGridOptions options = Options();
  options.Agents = {kelvra::TAgentAddress::Parse("127.0.0.1:" + std::to_string(fake::FreePort()))};
  options.DataPort = taken;
  const std::string error = StartError(options);
  EXPECT_EQ(error.rfind("data port " + std::to_string(taken) + " is taken: ", 0), 0u) << error;
  ::close(holder);
}

TEST_F(GridTest, NoAgentReachableNamesEach) {
  const std::string first = "127.0.0.1:" + std::to_string(fake::FreePort());
  const std::string second = "127.0.0.1:" + std::to_string(fake::FreePort());
  kelvra::TGridOptions options = Options();
  options.Agents = {kelvra::TAgentAddress::Parse(first), kelvra::TAgentAddress::Parse(second)};
  const std::string error = StartError(options);
  EXPECT_EQ(error.rfind("no agent reachable: ", 0), 0u) << error;
  EXPECT_NE(error.find("agent " + first + " is unreachable: connect: "), std::string::npos) << error;
  EXPECT_NE(error.find("agent " + second + " is unreachable: connect: "), std::string::npos) << error;
  // The data port is free again: a grid's failed start keeps nothing.
  uint16_t bound = 0;
  const int again = fake::Listen(DataPort, bound);
  EXPECT_EQ(bound, DataPort);
  ::close(again);
}

TEST_F(GridTest, AgentThatRefusesTheUserIsNamedWithWhy) {
  StartAgents(1, "allowed_users=192.0.2.7\n");
  const std::string error = StartError(Options());
  EXPECT_EQ(error, "no agent reachable: agent " + Agents[0]->Address().Text() +
                       " is unreachable: the agent closed the connection without answering GET_POOLSIZE (an agent "
                       "refuses users not in its allowed_users, and sessions beyond its max_sessions)");
}

TEST_F(GridTest, OneOfTwoUnreachableIsAWarningAndTheOtherWorks) {
  StartAgents(1);
  kelvra::TGridOptions options = Options();
  const std::string absent = "127.0.0.1:" + std::to_string(fake::FreePort());
  options.Agents.push_back(kelvra::TAgentAddress::Parse(absent));
  kelvra::TGrid grid(options);
  ServeTasks(grid);
  ASSERT_EQ(grid.Warnings().size(), 1u);
  EXPECT_EQ(grid.Warnings()[0].rfind("agent " + absent + " is unreachable: connect: ", 0), 0u) << grid.Warnings()[0];
  EXPECT_EQ(grid.Progress().AgentsUp, 1u);
  grid.OnResult(Results.Handler());
  for (int i = 0; i < 20; ++i) grid.Submit(Library(), "Echo", std::to_string(i));
  ASSERT_TRUE(grid.WaitAll(60000));
  Results.ExpectEachOnce(20);
  EXPECT_EQ(Results.Get(7).Agent, Agents[0]->Address().Text());
}

TEST_F(GridTest, LastAgentLostFailsWhatWaitsOnce) {
  auto grid = StartGrid(1, [](kelvra::TGridOptions& options) { options.ReconnectAttempts = 1; });
  ASSERT_TRUE(grid);
  constexpr uint64_t kTasks = 200;
  for (uint64_t i = 0; i < kTasks; ++i) grid->Submit(Library(), "SlowEcho", "x");
  ASSERT_TRUE(WaitUntil([&] { return Results.Count() >= 4; }, 60s));
  Agents[0]->Kill();

  EXPECT_FALSE(grid->WaitAll(120000));
  Results.ExpectEachOnce(kTasks);
  const kelvra::TTaskResult last = Results.Get(kTasks - 1);
  EXPECT_FALSE(last.Ok);
  EXPECT_EQ(last.Failure.rfind("no agent left: agent " + Agents[0]->Address().Text() + " is lost: ", 0), 0u)
      << last.Failure;
  EXPECT_EQ(grid->Progress().AgentsUp, 0u);
  EXPECT_THROW(grid->Submit(Library(), "Echo", "late"), kelvra::EGridError);
}

// A program that feeds the grid from a generator holds only the room it
// allows: the tasks, their inputs and their results of a million-task run
// never all live at once.
TEST_F(GridTest, AGeneratorOfAMillionInputsIsFedAsRoomFreesWithMemoryBounded) {
#if KELVRA_SANITIZED_BUILD
  constexpr uint64_t kTasks = 100000;  // the sanitizers' memory is no measure; the order and bound still are
#else
  constexpr uint64_t kTasks = 1000000;
#endif
  constexpr uint64_t kRoom = 2000;
  StartAgents(2, "enableDebugOutput=0\n");
  ASSERT_FALSE(HasFatalFailure());
  kelvra::TGrid grid(Options());
  ServeTasks(grid);
  std::vector<uint8_t> seen(kTasks, 0);  // handlers run one at a time
  std::atomic<uint64_t> answered{0}, wrong{0};
  grid.OnResult([&](const kelvra::TTaskResult& result) {
    if (result.Index >= kTasks || !result.Ok || result.Output != std::to_string(result.Index)) ++wrong;
    if (result.Index < kTasks) ++seen[result.Index];
    ++answered;
  });
  ASSERT_TRUE(ResetPeakMemory());
  const uint64_t before = PeakMemoryKib();
  uint64_t next = 0, mostOut = 0;
  const uint64_t submitted = grid.SubmitAll(
      Library(), "Echo",
      [&](std::string& input) {
        if (next == kTasks) return false;
        mostOut = std::max(mostOut, next - answered.load());
        input = std::to_string(next++);
        return true;
      },
      kRoom);
  ASSERT_EQ(submitted, kTasks);
  ASSERT_TRUE(grid.WaitAll(300000));
  const uint64_t grown = PeakMemoryKib() - before;
  EXPECT_EQ(wrong.load(), 0u);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<std::ptrdiff_t>(kTasks)) << "each result once";
  EXPECT_LT(mostOut, kRoom);
  std::printf("peak memory grew by %llu KiB over %llu tasks\n", static_cast<unsigned long long>(grown),
              static_cast<unsigned long long>(kTasks));
#if !KELVRA_SANITIZED_BUILD
  // All of them queued at once would take hundreds of MiB.
  EXPECT_LT(grown, 48u * 1024) << "KiB";
#endif
}

TEST_F(GridTest, WaitForRoomWaitsForResultsAndEndsOnceNoAgentIsLeft) {
  auto grid = StartGrid(1, [](kelvra::TGridOptions& options) { options.ReconnectAttempts = 1; });
  ASSERT_TRUE(grid);
  for (int i = 0; i < 4; ++i) grid->Submit(Library(), "SlowEcho", "x");
  EXPECT_FALSE(grid->WaitForRoom(4, 0)) << "four tasks of 20 ms are out";
  EXPECT_TRUE(grid->WaitForRoom(5, 0));
  EXPECT_TRUE(grid->WaitForRoom(1, 60000));
  EXPECT_EQ(Results.Count(), 4u);

  const std::string address = Agents[0]->Address().Text();
  Agents[0]->Kill();
  ASSERT_TRUE(WaitUntil([&] { return HasWarning(*grid, "agent " + address + " is lost"); }, 60s));
  bool asked = false;
  RunBounded(
      [&] {
        EXPECT_FALSE(grid->WaitForRoom(10, -1));
        EXPECT_EQ(grid->SubmitAll(Library(), "Echo", [&](std::string&) { return asked = true; }, 10), 0u);
      },
      60s, "a wait for room with no agent left");
  EXPECT_FALSE(asked) << "no input is taken that cannot be sent";
}

TEST_F(GridTest, GridEndsAtOnceWithTasksRunningAndTheAgentSeesDisconnect) {
  StartAgents(2);
  RunBounded(
      [&] {
        auto grid = MakeGrid();
        for (int i = 0; i < 200; ++i) grid->Submit(Library(), "SlowEcho", "x");
        WaitUntil([&] { return Results.Count() >= 4; }, 60s);
      },
      60s, "the grid's end");
  EXPECT_LT(Results.Count(), 200u);  // the rest got no result
  for (const auto& agent : Agents)
    EXPECT_TRUE(WaitUntil([&] { return agent->Log().find("Received DISCONNECT command.") != std::string::npos; }, 30s));
}

// Each session in a process of its own (the agents' default): the agent
// reports the poison's unanswered tasks "Session process ended: ...".
TEST_F(GridTest, PoisonTaskIsGivenUpAfterThreeAttemptsAndTheOthersAreDoneOnce) {
  StartAgents(3, "isolation=process\n");
  ASSERT_FALSE(HasFatalFailure());
  auto grid = MakeGrid();
  RunWithPoison(*grid);
}

// In thread mode the poison ends the whole agent, which comes back as a
// service manager would start it again.
TEST_F(GridTest, PoisonTaskEndingThreadModeAgentsIsGivenUpAfterThreeAttemptsAsTheyRestart) {
  StartAgents(3, "isolation=thread\n");
  ASSERT_FALSE(HasFatalFailure());
  // About 10 s for an agent to be back before it counts as lost.
  auto grid = MakeGrid([](kelvra::TGridOptions& options) { options.ReconnectAttempts = 40; });
  {
    TRestarter restarter(Agents, 6);
    RunWithPoison(*grid);
    EXPECT_TRUE(WaitUntil([&] { return restarter.Restarts.load() >= 3; }, 30s));
    EXPECT_EQ(restarter.Restarts.load(), 3);
  }
}

// One agent lacks a companion of the library (found by the loader on the
// other's machine, as if installed there): it fails each task at once
// with "unable to load dll", its tasks are done on the other agent, and it
// is left out with a warning.
TEST_F(GridTest, AgentWithoutTheCompanionIsLeftOutAndItsTasksAreDoneOnTheOther) {
  TTempDir installed;
  std::filesystem::copy_file(KELVRA_TASKLIB_PART, installed / "libtasklib_part.so");
  Agents.push_back(std::make_unique<TTestAgent>(DataPort, Coordinator.Port(),
                                                "task_read_paths=" + installed.Get() + "\n",
                                                std::vector<std::string>{"LD_LIBRARY_PATH=" + installed.Get()}));
  Agents.push_back(std::make_unique<TTestAgent>(DataPort, Coordinator.Port()));
  for (const auto& agent : Agents) ASSERT_TRUE(agent->Ready) << agent->Log();
  const std::string good = Agents[0]->Address().Text(), bad = Agents[1]->Address().Text();
  kelvra::TGrid grid(Options());
  grid.AddFileFromPath(KELVRA_TASKLIB_MAIN);
  grid.OnResult(Results.Handler());

  constexpr uint64_t kTasks = 60;
  for (uint64_t i = 0; i < kTasks; ++i) grid.Submit({"libtasklib_main.so"}, "PartEcho", "part " + std::to_string(i));
  ASSERT_TRUE(grid.WaitAll(120000));
  Results.ExpectEachEchoedOnce(kTasks, "part ");
  for (uint64_t i = 0; i < kTasks; ++i) EXPECT_EQ(Results.Get(i).Agent, good) << i;
  EXPECT_TRUE(HasWarning(grid, "agent " + bad + " is left out of the run: 3 tasks in a row failed there: "
                               "POOLTHREAD: unable to load dll libtasklib_main.so for task "));
  const std::vector<kelvra::TAgentSummary> summaries = grid.AgentSummaries();
  EXPECT_EQ(summaries[0].Done, kTasks);
  EXPECT_TRUE(summaries[1].Lost);
  EXPECT_EQ(grid.Progress().AgentsUp, 1u);
}

// An agent stopped (SIGSTOP) while it holds tasks: after 2 s they are sent
// to the other agent too, and the run ends while it is still stopped. Its
// own answers, once it runs again, are dropped.
TEST_F(GridTest, StalledAgentsTasksAreSentTwiceAndTheRunEndsWhileItIsStopped) {
  auto grid = StartGrid(2, [](kelvra::TGridOptions& options) { options.SpeculateAfterSeconds = 2; });
  ASSERT_TRUE(grid);
  const std::vector<pid_t> stalled = Agents[0]->Process->ProcessTree();  // the agent and its session process
  for (pid_t process : stalled)
    if (process > 0) ::kill(process, SIGSTOP);
  constexpr uint64_t kTasks = 60;
  for (uint64_t i = 0; i < kTasks; ++i) grid->Submit(Library(), "Echo", "late " + std::to_string(i));
  const bool ended = grid->WaitAll(120000);
  const uint64_t sentTwice = grid->Progress().SentTwice;
  for (pid_t process : stalled)
    if (process > 0) ::kill(process, SIGCONT);

  ASSERT_TRUE(ended);
  Results.ExpectEachEchoedOnce(kTasks, "late ");
  EXPECT_GE(sentTwice, 1u);
  for (uint64_t i = 0; i < kTasks; ++i) EXPECT_EQ(Results.Get(i).Agent, Agents[1]->Address().Text()) << i;
  EXPECT_TRUE(WaitUntil([&] { return Agents[0]->Log().find("AGENTPEER: TASK_DONE") != std::string::npos; }, 30s));
  Results.ExpectEachOnce(kTasks);
  EXPECT_EQ(grid->AgentSummaries()[0].Done, 0u);
}

#if !KELVRA_SANITIZED_BUILD
// The agent ends a session after 20 s without a command: an idle grid keeps
// its sessions with KEEP_ALIVE.
TEST_F(GridTest, IdleSessionIsKeptAlive) {
  auto grid = StartGrid(1, [](kelvra::TGridOptions& options) { options.KeepAliveSeconds = 2; });
  ASSERT_TRUE(grid);
  std::this_thread::sleep_for(23s);
  auto after = grid->SubmitAsync(Library(), "Echo", "still there");
  ASSERT_TRUE(grid->WaitAll(60000));
  EXPECT_EQ(after.get().Output, "still there");
  // The session lasted: no end seen, no session opened again.
  EXPECT_TRUE(grid->Warnings().empty()) << grid->Warnings().front();
  const std::string log = Agents[0]->Log();
  size_t keptAlive = 0;
  for (size_t at = log.find("KEEP_ALIVE received"); at != std::string::npos;
       at = log.find("KEEP_ALIVE received", at + 1))
    ++keptAlive;
  EXPECT_GE(keptAlive, 5u);
}
#endif

// The data port serves the grid's agents only. A stranger on another
// address, while three tasks run, reports them done with bytes of its own
// and asks for the library: it is closed before it is read, the results
// are the agent's, and nothing is served to it.
TEST_F(GridTest, AStrangerOnTheDataPortIsRefusedAndItsReportsAreNotTaken) {
  auto grid = StartGrid(1);
  ASSERT_TRUE(grid);
  for (int i = 1; i <= 3; ++i) grid->Submit(Library(), "PauseEcho", "4000 task " + std::to_string(i));
  ASSERT_TRUE(WaitUntil([&] { return Agents[0]->Log().find("Data for task 3 received") != std::string::npos; }, 60s));

  fake::TLobbyClient stranger("127.0.0.1", DataPort, "127.0.0.2");
  ASSERT_TRUE(stranger.Connected);
  for (int id = 1; id <= 3; ++id) stranger.RunTask("TASK_DONE " + std::to_string(id) + " 1.0 1.0 100", "forged");
  stranger.Send("GET_FILE LIBTASKLIB_TASKS.SO");
  EXPECT_EQ(stranger.Reply(5000), "<none>");
  EXPECT_TRUE(stranger.ClosedByAgent(5000));
  fake::TLobbyClient asking("127.0.0.1", DataPort, "127.0.0.2");
  asking.Send("GET_FILE LIBTASKLIB_TASKS.SO");
  EXPECT_EQ(asking.Reply(5000), "<none>");

  ASSERT_TRUE(grid->WaitAll(120000)) << AllWarnings(*grid) << Results.Get(0).Failure;
  Results.ExpectEachOnce(3);
  for (uint64_t i = 0; i < 3; ++i) EXPECT_EQ(Results.Get(i).Output, "4000 task " + std::to_string(i + 1));
  EXPECT_TRUE(
      HasWarning(*grid, "data port: refused a connection from 127.0.0.2: no agent of this grid is at that address"));
}

// From the agent's own address a connection gets in, but a report is taken
// only for a task in flight on that agent's session: not for one still in
// the grid's queue. A request longer than the bound ends the connection.
TEST_F(GridTest, OnTheAgentsAddressOnlyReportsOfTasksInFlightThereAreTaken) {
  auto grid = StartGrid(1, [](kelvra::TGridOptions& options) { options.TasksPerPoolThread = 1; });
  ASSERT_TRUE(grid);
  const size_t pool = grid->Progress().PoolThreads;
  ASSERT_GE(pool, 1u);
  // The pool's share runs for 8 s; the last two wait in the grid's queue.
  const size_t tasks = pool + 2;
  for (size_t i = 1; i <= tasks; ++i) grid->Submit(Library(), "PauseEcho", "8000 task " + std::to_string(i));
  const std::string first = "Data for task " + std::to_string(pool) + " received";
  ASSERT_TRUE(WaitUntil([&] { return Agents[0]->Log().find(first) != std::string::npos; }, 60s));

  fake::TLobbyClient local("127.0.0.1", DataPort);
  ASSERT_TRUE(local.Connected);
  const std::string queued = std::to_string(pool + 1);
  const std::string other = std::to_string(pool + 2);
  ASSERT_TRUE(local.RunTask("TASK_DONE " + queued + " 1.0 1.0 100", "forged"));
  ASSERT_TRUE(local.Send("TASK_FAILED " + other + " forged"));
  ASSERT_TRUE(local.RunTask("TASK_DONE 999 1.0 1.0 100", "never sent"));
  EXPECT_TRUE(WaitUntil(
      [&] {
        return HasWarning(*grid, "data port: dropped TASK_DONE for task " + queued +
                                     " from 127.0.0.1: that task is not in flight on a session of an agent at that "
                                     "address") &&
               HasWarning(*grid, "data port: dropped TASK_FAILED for task " + other + " from 127.0.0.1");
      },
      30s));
  EXPECT_EQ(Results.Count(), 0u);
  EXPECT_FALSE(local.ClosedByAgent(200)) << "a refused report leaves the connection in step";
  ASSERT_TRUE(local.SendRaw(std::string("\xF0\xFF\xFF\x7F", 4)));
  EXPECT_TRUE(local.ClosedByAgent(10000));
  EXPECT_TRUE(WaitUntil(
      [&] {
        return HasWarning(*grid, "data port: closed the connection from 127.0.0.1: a request of 2147483632 bytes");
      },
      10s));

  ASSERT_TRUE(grid->WaitAll(120000)) << AllWarnings(*grid) << Results.Get(0).Failure;
  Results.ExpectEachOnce(tasks);
  for (size_t i = 0; i < tasks; ++i) {
    EXPECT_TRUE(Results.Get(i).Ok) << Results.Get(i).Failure;
    EXPECT_EQ(Results.Get(i).Output, "8000 task " + std::to_string(i + 1));
  }
  EXPECT_FALSE(HasWarning(*grid, "task 999")) << "a report of no waiting task changes nothing";
}

// An agent's address may hold a few connections at once, not any number.
TEST_F(GridTest, ConnectionsFromAnAgentsAddressAreBounded) {
  auto grid = StartGrid(1);
  ASSERT_TRUE(grid);
  // The agent's session holds one from its start.
  ASSERT_TRUE(WaitUntil(
      [&] { return Agents[0]->Log().find("Connected to user data port sucessfully") != std::string::npos; }, 60s));
  std::vector<std::unique_ptr<fake::TLobbyClient>> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(std::make_unique<fake::TLobbyClient>("127.0.0.1", DataPort));
    ASSERT_TRUE(held.back()->Connected);
  }
  for (const auto& connection : held) EXPECT_FALSE(connection->ClosedByAgent(300)) << "silent, and kept";
  fake::TLobbyClient extra("127.0.0.1", DataPort);
  EXPECT_TRUE(extra.ClosedByAgent(10000));
  EXPECT_TRUE(HasWarning(*grid, "data port: refused a connection from 127.0.0.1: 4 are open from there already"));
  // The agent's own was among them: its tasks go on.
  held.clear();
  auto after = grid->SubmitAsync(Library(), "Echo", "after");
  ASSERT_TRUE(grid->WaitAll(60000));
  EXPECT_EQ(after.get().Output, "after");
}

#if !KELVRA_SANITIZED_BUILD
// A loopback "link" in front of an agent's lobby: what the grid sends passes
// at about `bytesPerSecond`, through a small receive buffer; the agent's
// answers pass at once.
class TThrottlingProxy {
 public:
  TThrottlingProxy(uint16_t agentPort, size_t bytesPerSecond) : AgentPort(agentPort), PerTick(bytesPerSecond / 20) {
    ListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 64 * 1024;
    ::setsockopt(ListenFd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(ListenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(ListenFd, 4) == 0 &&
        ::getsockname(ListenFd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      BoundPort = ntohs(address.sin_port);
    Thread = std::thread([this] { Run(); });
  }
  ~TThrottlingProxy() {
    Stopping = true;
    ::shutdown(ListenFd, SHUT_RDWR);
    Thread.join();
    ::close(ListenFd);
  }
  TThrottlingProxy(const TThrottlingProxy&) = delete;
  TThrottlingProxy& operator=(const TThrottlingProxy&) = delete;

  uint16_t Port() const { return BoundPort; }
  kelvra::TAgentAddress Address() const {
    return kelvra::TAgentAddress::Parse("127.0.0.1:" + std::to_string(BoundPort));
  }
  // Connections the grid made: one, unless a session ended.
  int Connections() const { return Accepted; }

 private:
  static constexpr auto kTick = 50ms;

  void Run() {
    while (!Stopping) {
      const int grid = ::accept4(ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (grid < 0) return;
      ++Accepted;
      fake::TLobbyClient agent("127.0.0.1", AgentPort);
      if (agent.Connected) Pump(grid, agent.Descriptor());
      ::close(grid);
    }
  }
  // Until either side closes or the proxy stops (checked each tick).
  void Pump(int grid, int agent) {
    std::string buffer(std::max<size_t>(PerTick, 64 * 1024), '\0');
    auto due = std::chrono::steady_clock::now();
    while (!Stopping) {
      const auto now = std::chrono::steady_clock::now();
      const bool gridsTurn = now >= due;
      pollfd ready[2] = {{agent, POLLIN, 0}, {grid, static_cast<short>(gridsTurn ? POLLIN : 0), 0}};
      const auto wait = gridsTurn ? kTick : std::chrono::duration_cast<std::chrono::milliseconds>(due - now);
      if (::poll(ready, 2, static_cast<int>(std::max<int64_t>(wait.count(), 1))) < 0) return;
      if (ready[0].revents != 0) {
        const ssize_t got = ::recv(agent, buffer.data(), buffer.size(), 0);
        if (got <= 0 || !fake::WriteAll(grid, buffer.substr(0, static_cast<size_t>(got)))) return;
      }
      if (gridsTurn && ready[1].revents != 0) {
        const ssize_t got = ::recv(grid, buffer.data(), PerTick, 0);
        if (got <= 0 || !fake::WriteAll(agent, buffer.substr(0, static_cast<size_t>(got)))) return;
        due = std::max(due + kTick, now - 1s);
      }
    }
  }

  const uint16_t AgentPort;
  const size_t PerTick;
  int ListenFd = -1;
  uint16_t BoundPort = 0;
  std::atomic<bool> Stopping{false};
  std::atomic<int> Accepted{0};
  std::thread Thread;
};

// Eight inputs of 5 MB to a lobby that reads 1 MB/s: each frame takes about
// 5 s, well within the agent's 20 s for a frame, the eight together 40 s.
// Each frame has its own bound, so the slow link slows the run and does not
// fail it: every task done once, in one session.
TEST_F(GridTest, ASlowLobbyLinkSlowsTheRunAndNeverFailsIt) {
  StartAgents(1);
  TThrottlingProxy link(Agents[0]->LobbyPort, 1 << 20);
  ASSERT_NE(link.Port(), 0);
  kelvra::TGridOptions options = Options();
  options.Agents = {link.Address()};
  options.TasksPerPoolThread = 8;  // the whole run in flight at once
  kelvra::TGrid grid(options);
  ServeTasks(grid);
  grid.OnResult(Results.Handler());
  constexpr uint64_t kTasks = 8;
  std::vector<std::string> inputs;
  for (uint64_t i = 0; i < kTasks; ++i) {
    inputs.push_back(std::string(5'000'000, static_cast<char>('a' + i)));
    grid.Submit(Library(), "Echo", inputs.back());
  }
  ASSERT_TRUE(grid.WaitAll(180000)) << AllWarnings(grid);
  Results.ExpectEachOnce(kTasks);
  for (uint64_t i = 0; i < kTasks; ++i) {
    const kelvra::TTaskResult result = Results.Get(i);
    EXPECT_TRUE(result.Ok) << result.Failure;
    EXPECT_TRUE(result.Output == inputs[i]) << "task " << i << ": " << result.Output.size() << " bytes";
  }
  EXPECT_FALSE(HasWarning(grid, "session ended"));
  EXPECT_EQ(link.Connections(), 1);
}
#endif

TEST(AgentAddressTest, ParsesHostAndPort) {
  EXPECT_EQ(kelvra::TAgentAddress::Parse("10.0.0.5").Text(), "10.0.0.5:4102");
  EXPECT_EQ(kelvra::TAgentAddress::Parse("node7:4200").LobbyPort, 4200);
  EXPECT_THROW(kelvra::TAgentAddress::Parse(""), kelvra::EGridError);
  EXPECT_THROW(kelvra::TAgentAddress::Parse(":4102"), kelvra::EGridError);
  EXPECT_THROW(kelvra::TAgentAddress::Parse("host:"), kelvra::EGridError);
  EXPECT_THROW(kelvra::TAgentAddress::Parse("host:70000"), kelvra::EGridError);
  EXPECT_THROW(kelvra::TAgentAddress::Parse("host:12ab"), kelvra::EGridError);
}

TEST(AgentAddressTest, ARefusalQuotesTheAddressAndSaysWhatIsWrong) {
  const auto refusal = [](const std::string& text) -> std::string {
    try {
      kelvra::TAgentAddress::Parse(text);
    } catch (const kelvra::EGridError& error) {
      return error.what();
    }
    return "accepted";
  };
  EXPECT_EQ(refusal(":4102"), "agent address \":4102\" has no host");
  EXPECT_EQ(refusal("host:0"), "agent address \"host:0\" has a bad port (1 to 65535)");
}

}  // namespace
