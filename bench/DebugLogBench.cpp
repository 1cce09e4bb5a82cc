// SPDX-License-Identifier: Apache-2.0
// The cost of a debug-log call: with the log off it must return before
// formatting anything (pool threads log several lines per task), so the
// "Off" figure should be a few nanoseconds against the "On" figure's
// formatting and hand-over to the sink.
#include <benchmark/benchmark.h>

#include "Common/T_DebugLog.h"

namespace {

class TNullSink : public IDebugSink {
 public:
  void Write(std::string_view message) override { benchmark::DoNotOptimize(message.data()); }
  void Beep() override {}
};

void BM_DebugWriteOff(benchmark::State& state) {
  TNullSink sink;
  TDebugLog log(sink, false);
  std::string address = "10.0.0.7";
  for (auto _ : state) log.Write("POOLTHREAD: Task %u for %s done in %d ms", 17u, address, 250);
}
BENCHMARK(BM_DebugWriteOff);

void BM_DebugWriteOn(benchmark::State& state) {
  TNullSink sink;
  TDebugLog log(sink, true);
  std::string address = "10.0.0.7";
  for (auto _ : state) log.Write("POOLTHREAD: Task %u for %s done in %d ms", 17u, address, 250);
}
BENCHMARK(BM_DebugWriteOn);

}  // namespace
