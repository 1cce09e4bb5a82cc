// SPDX-License-Identifier: Apache-2.0
// The whole agent process under load from a client over loopback: no-op
// tasks per second (pipelined in one session), the round-trip latency of a
// single task (RUN_TASK sent until its TASK_DONE arrives; p50 and p99 as
// counters), and echo throughput for 1 MiB inputs. The agent runs as a
// child process with its own settings; the client plays the user's lobby
// connection and data port.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "FakePeers.h"
#include "T_AgentProcess.h"
#include "TestSupport.h"

namespace {

struct TAgentUnderLoad {
  TTempDir Dir;
  fake::TFakeUser User;
  fake::TFramedServer Coordinator;
  uint16_t LobbyPort = fake::FreePort();
  std::unique_ptr<TAgentProcess> Agent;
  std::unique_ptr<fake::TLobbyClient> Session;
  uint32_t NextId = 0;

  // `agentExtra`: settings of the [agent] section (isolation=thread).
  explicit TAgentUnderLoad(const std::string& agentExtra = "") {
    User.AddFile("LIBTASKLIB_TASKS.SO", ReadTextFile(KELVRA_TASKLIB_TASKS));
    WriteTextFile(Dir / "kelvra.INI",
                  "[agent]\n" + agentExtra + "bind_port=" + std::to_string(LobbyPort) +
                      "\nexplicitCPU=0\nsuspend_timeout=0\nbroadcast_port=0\n[coordinator]\ncoordinator_ip=127.0.0.1\n"
                      "allowDiscardCoordinatorIp=0\nbind_port=" + std::to_string(Coordinator.Port()) +
                      "\n[user]\ndata_port=" + std::to_string(User.Port()) + "\n");
    Agent = std::make_unique<TAgentProcess>(Dir, std::vector<std::string>{"--headless", "--config", Dir / "kelvra.INI"});
    WaitUntil([&] { return fake::TLobbyClient("127.0.0.1", LobbyPort).Connected; }, std::chrono::seconds(30));
    Session = std::make_unique<fake::TLobbyClient>("127.0.0.1", LobbyPort);
  }
  ~TAgentUnderLoad() {
    Session->Send("DISCONNECT");
    Agent->Signal(SIGTERM);
    Agent->WaitExit(std::chrono::seconds(60));
  }
  // Sends `count` tasks and waits until the user has all their reports.
  bool RunTasks(uint32_t count, const std::string& procedure, const std::string& input) {
    size_t expected = User.Count() + count;
    for (uint32_t i = 0; i < count; ++i)
      Session->RunTask("RUN_TASK," + std::to_string(++NextId) + ",libtasklib_tasks.so," + procedure, input);
    return User.WaitForCount(expected, 60000);
  }
};

void BM_ProcessNoOpTasks(benchmark::State& state) {
  TAgentUnderLoad agent;
  agent.RunTasks(1, "Echo", "");  // the library is fetched once, outside the timing
  for (auto _ : state)
    if (!agent.RunTasks(1000, "Echo", "")) state.SkipWithError("reports missing");
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_ProcessNoOpTasks)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ProcessTaskRoundTrip(benchmark::State& state) {
  TAgentUnderLoad agent;
  agent.RunTasks(1, "Echo", "");
  std::vector<double> microseconds;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    if (!agent.RunTasks(1, "Echo", "")) state.SkipWithError("report missing");
    microseconds.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(microseconds.begin(), microseconds.end());
  if (!microseconds.empty()) {
    state.counters["p50_us"] = microseconds[microseconds.size() / 2];
    state.counters["p99_us"] = microseconds[std::min(microseconds.size() - 1, microseconds.size() * 99 / 100)];
  }
}
BENCHMARK(BM_ProcessTaskRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_ProcessEcho1MiB(benchmark::State& state) {
  TAgentUnderLoad agent;
  agent.RunTasks(1, "Echo", "");
  const std::string input(1 << 20, 'e');
  for (auto _ : state)
    if (!agent.RunTasks(1, "Echo", input)) state.SkipWithError("report missing");
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(input.size()));
}
BENCHMARK(BM_ProcessEcho1MiB)->UseRealTime()->Unit(benchmark::kMillisecond);

// The isolation setting of a benchmark's argument: 0 process, 1 thread.
std::string Isolation(const benchmark::State& state) {
  return state.range(0) == 0 ? "isolation=process\n" : "isolation=thread\n";
}

// A new session from its connect to the answer of its first command
// (GET_POOLSIZE): with sessions in processes, the start of the session
// process is in it.
void BM_SessionStart(benchmark::State& state) {
  TAgentUnderLoad agent(Isolation(state));
  std::vector<double> milliseconds;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    fake::TLobbyClient session("127.0.0.1", agent.LobbyPort);
    if (!session.Send("GET_POOLSIZE") || session.Reply().empty()) state.SkipWithError("no answer");
    milliseconds.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    state.PauseTiming();
    session.Send("DISCONNECT");
    session.ClosedByAgent(10000);
    state.ResumeTiming();
  }
  std::sort(milliseconds.begin(), milliseconds.end());
  if (!milliseconds.empty()) {
    state.counters["p50_ms"] = milliseconds[milliseconds.size() / 2];
    state.counters["p99_ms"] = milliseconds[std::min(milliseconds.size() - 1, milliseconds.size() * 99 / 100)];
  }
}
BENCHMARK(BM_SessionStart)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(200);

// Memory of the agent without sessions (resident) and, with one idle
// session, of the session process alone (its proportional share).
void BM_IdleMemory(benchmark::State& state) {
  TAgentUnderLoad agent(Isolation(state));
  const auto kibOf = [](pid_t process, const std::string& field) {
    const std::string rollup = ReadTextFile("/proc/" + std::to_string(process) + "/smaps_rollup");
    const size_t at = rollup.find("\n" + field + ":");
    return at == std::string::npos ? 0.0 : std::stod(rollup.substr(at + field.size() + 2));
  };
  agent.Session->Send("DISCONNECT");
  agent.Session->ClosedByAgent(10000);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  double agentRss = 0, sessionPss = 0;
  for (auto _ : state) {
    agentRss = kibOf(agent.Agent->Id(), "Rss");
    fake::TLobbyClient session("127.0.0.1", agent.LobbyPort);
    session.Send("GET_POOLSIZE");
    session.Reply();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::vector<pid_t> tree = agent.Agent->ProcessTree();
    sessionPss = tree.size() > 1 ? kibOf(tree.back(), "Pss") : 0;
    session.Send("DISCONNECT");
    session.ClosedByAgent(10000);
  }
  agent.Session = std::make_unique<fake::TLobbyClient>("127.0.0.1", agent.LobbyPort);
  state.counters["agent_rss_MiB"] = agentRss / 1024;
  state.counters["session_pss_MiB"] = sessionPss / 1024;
}
BENCHMARK(BM_IdleMemory)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
