// SPDX-License-Identifier: Apache-2.0
// client_bench: the client library as a user of one agent, for comparing
// with the perf yardstick's load client on the same agent.
//
//   client_bench pipelined --lobby PORT --data PORT [-n N] [--window W] [--lib FILE] [--proc Noop]
//   client_bench echo --lobby PORT --data PORT --size BYTES [-n N] [--window W] [--lib FILE]
//   (either: --per-thread K, the tasks sent to the agent per pool thread)
//
// pipelined: N tasks with an empty input (Noop by default), at most W
// submitted and unanswered at a time; tasks/s from the first measured Submit
// to the last result. echo: N Echo tasks of BYTES each (W defaults to 64 MiB
// of input), the inputs made before the clock starts; every output is
// compared with its input; MB/s of payload one way. W only bounds the
// client's memory: it is kept well above what the library sends to an agent
// at once, so that the library's own window is what is measured (when W is
// reached, submitting resumes at W/2).
// One warm-up task first makes the agent fetch and load the library. Output:
// one key=value line on standard output; errors on standard error, exit 2.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "kelvra/kelvra_client.h"

namespace {

struct TOptions {
  std::string Mode;
  uint16_t Lobby = 0;
  uint16_t Data = 0;
  long Tasks = 0;
  long Window = 0;
  size_t Size = 0;
  std::string Library = "bin/noop_task.so";
  std::string Procedure;
  int PerThread = 0;  // TGridOptions::TasksPerPoolThread; 0: the library's default
};

[[noreturn]] void Fail(const std::string& text) {
  std::fprintf(stderr, "client_bench: ERROR %s\n", text.c_str());
  std::exit(2);
}

TOptions ParseOptions(int argc, char** argv) {
  if (argc < 2) Fail("usage: client_bench pipelined|echo --lobby PORT --data PORT [-n N] [--size B] [--window W]");
  TOptions options;
  options.Mode = argv[1];
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--lobby") options.Lobby = static_cast<uint16_t>(std::atoi(value));
    else if (name == "--data") options.Data = static_cast<uint16_t>(std::atoi(value));
    else if (name == "-n") options.Tasks = std::atol(value);
    else if (name == "--window") options.Window = std::atol(value);
    else if (name == "--size") options.Size = static_cast<size_t>(std::atol(value));
    else if (name == "--lib") options.Library = value;
    else if (name == "--proc") options.Procedure = value;
    else if (name == "--per-thread") options.PerThread = std::atoi(value);
    else Fail("unknown option " + name);
  }
  if (options.Mode != "pipelined" && options.Mode != "echo") Fail("unknown mode " + options.Mode);
  if (options.Lobby == 0 || options.Data == 0) Fail("--lobby and --data are needed");
  const bool echo = options.Mode == "echo";
  if (echo && options.Size < 8) Fail("echo needs --size of at least 8");
  if (options.Procedure.empty()) options.Procedure = echo ? "Echo" : "Noop";
  if (options.Tasks <= 0) options.Tasks = echo ? 256 : 20000;
  if (options.Window <= 0) options.Window = echo ? std::max<long>(2, (64L << 20) / static_cast<long>(options.Size)) : 8000;
  return options;
}

// CPU seconds this process has used, all its threads.
double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// An echo input: the task number in its first 8 bytes, then a fixed pattern.
std::string EchoInput(const std::string& pattern, uint64_t number) {
  std::string input = pattern;
  std::memcpy(input.data(), &number, sizeof number);
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  const TOptions options = ParseOptions(argc, argv);
  const bool echo = options.Mode == "echo";
  std::string pattern(echo ? options.Size : 0, '\0');
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>('a' + i % 23);

  kelvra::TGridOptions gridOptions;
  gridOptions.Agents = {kelvra::TAgentAddress{"127.0.0.1", options.Lobby}};
  gridOptions.DataPort = options.Data;
  gridOptions.DataBindAddress = "127.0.0.1";
  if (options.PerThread > 0) gridOptions.TasksPerPoolThread = options.PerThread;
  try {
    const auto setupStart = std::chrono::steady_clock::now();
    kelvra::TGrid grid(gridOptions);
    grid.AddFileFromPath(options.Library);
    const std::string libraryName = options.Library.substr(options.Library.rfind('/') + 1);

    std::mutex mutex;
    std::condition_variable answered;
    long outstanding = 0;
    long wrong = 0;
    std::string firstWrong;
    grid.OnResult([&](const kelvra::TTaskResult& result) {
      bool right = result.Ok;
      if (right && echo) right = result.Output.size() == pattern.size() &&
                                 std::memcmp(result.Output.data(), &result.Index, 8) == 0 &&
                                 std::memcmp(result.Output.data() + 8, pattern.data() + 8, pattern.size() - 8) == 0;
      if (right && !echo) right = result.Output.empty();
      std::lock_guard<std::mutex> lock(mutex);
      if (!right && wrong++ == 0) firstWrong = result.Ok ? "task " + std::to_string(result.Index) + ": wrong output"
                                                         : "task " + std::to_string(result.Index) + ": " + result.Failure;
      // The submitting thread is woken once the window has drained to half,
      // not once per result.
      if (--outstanding == options.Window / 2) answered.notify_one();
    });
    // The inputs are made before the clock starts, as the load client sends
    // from one pattern: what is measured is the library, not their making.
    std::vector<std::string> inputs;
    if (echo) {
      if (static_cast<double>(options.Tasks) * static_cast<double>(options.Size) > 2e9)
        Fail("echo inputs above 2 GB in all: give fewer tasks");
      for (long task = 0; task <= options.Tasks; ++task) inputs.push_back(EchoInput(pattern, static_cast<uint64_t>(task)));
    }
    const auto submit = [&](uint64_t number) {
      {
        std::unique_lock<std::mutex> lock(mutex);
        if (outstanding >= options.Window) answered.wait(lock, [&] { return outstanding <= options.Window / 2; });
        ++outstanding;
      }
      grid.Submit({libraryName}, options.Procedure, echo ? std::move(inputs[number]) : std::string());
    };
    submit(0);  // the warm-up task
    if (!grid.WaitAll(120000)) Fail("the warm-up task got no result in 120 s");
    const double setupMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - setupStart).count();

    const double cpuStart = ProcessCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (long task = 1; task <= options.Tasks; ++task) submit(static_cast<uint64_t>(task));
    if (!grid.WaitAll(600000)) Fail("results missing after 600 s");
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = ProcessCpuSeconds() - cpuStart;
    if (wrong > 0) Fail(std::to_string(wrong) + " wrong results, the first: " + firstWrong);

    const kelvra::TGridProgress progress = grid.Progress();
    std::printf("mode=%s client=library tasks=%ld proc=%s size=%zu window=%ld pool=%zu wall_s=%.4f tasks_per_s=%.0f",
                options.Mode.c_str(), options.Tasks, options.Procedure.c_str(), options.Size, options.Window,
                progress.PoolThreads, wall, static_cast<double>(options.Tasks) / wall);
    if (echo) {
      const double bytes = static_cast<double>(options.Tasks) * static_cast<double>(options.Size);
      std::printf(" bytes=%.0f MBps=%.1f", bytes, bytes / wall / 1e6);
    }
    std::printf(" client_cpu_s=%.3f setup_ms=%.1f\n", cpu, setupMs);
  } catch (const std::exception& error) {
    Fail(error.what());
  }
  return 0;
}
