// SPDX-License-Identifier: Apache-2.0
// No-op tasks per second through one session end to end: the session's
// queue, the pool, the task call (an empty Echo) and the TASK_DONE report to
// a fake user on 127.0.0.1. Each iteration submits a batch of tasks at once
// (pipelined, as a user's client does) and waits for every report; with a
// large batch most of it waits in the session queue while tasks come and go.
#include <benchmark/benchmark.h>

#include <memory>

#include "Agent/T_AgentSession.h"
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
  TAgentSession session(parts.Context, parts.Services, "127.0.0.1");
  uint32_t next = 0;
  size_t expected = 1;  // the one GET_FILE
  for (auto _ : state) {
    for (uint32_t i = 0; i < batch; ++i) {
      TStreamRef input(TGenericStream::Create());
      session.AddTask(++next, "libtasklib_tasks.so", "Echo", input);
    }
    expected += batch;
    if (user.WaitFor(expected, 60000).size() < expected) state.SkipWithError("reports missing");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * batch);
}
BENCHMARK(BM_NoOpTasks)->Arg(1)->Arg(1000)->Arg(8000)->UseRealTime()->Unit(benchmark::kMillisecond);

// A session whose one pool thread is busy: the tasks sent stay in its queue.
struct TBlockedSession {
  TTempDir Dir;
  TTestPlatform Platform;
  fake::TFakeUser User;
  std::unique_ptr<TAgentParts> Parts;
  std::unique_ptr<TAgentSession> Session;
  uint32_t Next = 0;

  TBlockedSession() {
    Platform.System.Processors = 1;
    User.AddFile("LIBTASKLIB_TASKS.SO", ReadTextFile(KELVRA_TASKLIB_TASKS));
    TAgentSettings settings = TestSettings(User.Port());
    settings.EnableDebugOutput = false;
    settings.ExplicitCPU = false;
    Parts = std::make_unique<TAgentParts>(Platform, Dir, settings);
    Parts->Sessions.AddSession("127.0.0.1");
    Session = std::make_unique<TAgentSession>(Parts->Context, Parts->Services, "127.0.0.1");
    Add("WaitForAbort");
  }
  void Add(const char* procedure) {
    TStreamRef input(TGenericStream::Create());
    Session->AddTask(++Next, "libtasklib_tasks.so", procedure, input);
  }
};

// The lobby thread's AddTask while state.range(0) tasks already wait in the
// session queue.
void BM_AddTaskBehindWaitingTasks(benchmark::State& state) {
  const auto waiting = static_cast<int>(state.range(0));
  const int added = 1000;
  for (auto _ : state) {
    state.PauseTiming();
    {
      auto session = std::make_unique<TBlockedSession>();
      for (int i = 0; i < waiting; ++i) session->Add("Echo");
      state.ResumeTiming();
      for (int i = 0; i < added; ++i) session->Add("Echo");
      state.PauseTiming();
    }  // the queued tasks are dropped with the session
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * added);
}
BENCHMARK(BM_AddTaskBehindWaitingTasks)->Arg(0)->Arg(8000)->Unit(benchmark::kMicrosecond);

// The status text of a session with state.range(0) tasks waiting, as the
// status thread and the window read it about once a second.
void BM_StatusTextWithWaitingTasks(benchmark::State& state) {
  TBlockedSession session;
  for (int i = 0; i < state.range(0); ++i) session.Add("Echo");
  for (auto _ : state) benchmark::DoNotOptimize(session.Parts->StatusText());
}
BENCHMARK(BM_StatusTextWithWaitingTasks)->Arg(8000)->Unit(benchmark::kMicrosecond);

}  // namespace
