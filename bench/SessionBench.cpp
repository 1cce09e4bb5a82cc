// No-op tasks per second through one session end to end: the worker's
// queue, the pool, the task call (an empty Echo) and the TASK_DONE report to
// a fake user on 127.0.0.1. Each iteration submits a batch of tasks at once
// (pipelined, as a user's client does) and waits for every report; with a
// large batch most of it waits in the session queue while tasks come and go.
#include <benchmark/benchmark.h>

#include "Agent/T_AgentWorkerThread.h"
#include "Common/T_GenericStream.h"
#include "FakePeers.h"
#include "SessionFixture.h"
#include "TestSupport.h"

namespace {

void BM_NoOpTasks(benchmark::State& state) {
  const auto batch = static_cast<uint32_t>(state.range(0));
  TTempDir dir;
  TTestPlatform platform;
  platform.System.Processors = 2;
  fake::TFakeUser user;
  user.AddFile("LIBTASKLIB_TASKS.SO", ReadTextFile(KELVRA_TASKLIB_TASKS));
  TAgentSettings settings = TestSettings(user.Port());
  settings.EnableDebugOutput = false;
  settings.ExplicitCPU = false;
  TAgentParts parts(platform, dir, settings);
  TAgentWorkerThread worker(parts.Context, parts.Services, "127.0.0.1");
  uint32_t next = 0;
  size_t expected = 1;  // the one GET_FILE
  for (auto _ : state) {
    for (uint32_t i = 0; i < batch; ++i) {
      TStreamRef input(TGenericStream::Create());
      worker.AddTask(++next, "libtasklib_tasks.so", "Echo", input);
    }
    expected += batch;
    if (user.WaitFor(expected, 60000).size() < expected) state.SkipWithError("reports missing");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * batch);
}
BENCHMARK(BM_NoOpTasks)->Arg(1)->Arg(1000)->Arg(8000)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
