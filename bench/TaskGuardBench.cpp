// SPDX-License-Identifier: Apache-2.0
// The cost of a guarded task call that does not fault: what every task pays
// for the fault guard (its sigsetjmp, the thread's state, the mark of the
// task's stack), against a plain call of the same procedure.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "Platform/T_TaskGuard.h"

namespace {

__attribute__((noinline)) uint32_t SmallTask(IAgent*, void* session, IGenericStream*, IGenericStream*) {
  benchmark::DoNotOptimize(session);
  return 1;
}

void GuardedCall(benchmark::State& state) {
  if (!TTaskGuard::PrepareThread().Ok()) state.SkipWithError("the thread cannot be prepared");
  uint32_t result = 0;
  for (auto _ : state) {
    TStatus failure = TTaskGuard::CallTask(SmallTask, nullptr, nullptr, nullptr, nullptr, result);
    benchmark::DoNotOptimize(failure);
  }
}
BENCHMARK(GuardedCall);

void PlainCall(benchmark::State& state) {
  uint32_t (*volatile task)(IAgent*, void*, IGenericStream*, IGenericStream*) = SmallTask;
  for (auto _ : state) benchmark::DoNotOptimize(task(nullptr, nullptr, nullptr, nullptr));
}
BENCHMARK(PlainCall);

}  // namespace
