// SPDX-License-Identifier: Apache-2.0
// What signed task libraries cost ([agent] trusted_keys). The aim: checking
// the signature adds at most 20 ms to a 10 MiB library's first task.
//
// BM_FirstTaskOfSession: two real agent processes side by side, one with
// trusted_keys set and the library signed as `minisign -S` signs it (the
// "ED" algorithm, over the file's hash), one with trusted_keys unset. Each
// round opens a new session on each of the two, in turns that swap every
// round, and times one Echo task from its RUN_TASK to its TASK_DONE at the
// user: the session fetches the library (and its .minisig) anew, writes it,
// loads it and runs it. Counters: the medians of both, the difference of
// the medians (added_ms) and the median of the rounds' differences
// (added_paired_ms); its time per iteration is a whole round (both tasks
// and the ends of both sessions). The library is the tests' task library with random
// bytes after its ELF image up to 10 MiB (the loader reads only what the
// ELF headers name).
// BM_Verify10MiB: the check of 10 MiB alone: TTrustedKeys::Verify of an
// "ED" signature, the same fed in 64 KiB pieces (as the bytes arrive), and
// the legacy "Ed" in pieces.
//
// Needs minisign on PATH. Build and run (-DKELVRA_TESTS=ON, the default):
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVRA_BENCH=ON
//   cmake --build build/bench --target signature_bench
//   build/bench/bench/signature_bench [--benchmark_repetitions=3]
// Every agent listens and talks on loopback only; each round waits at most
// 60 s for its report, and the whole run of rounds at most 10 minutes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Agent/T_TrustedKeys.h"
#include "FakePeers.h"
#include "T_AgentProcess.h"
#include "TestSupport.h"

namespace {

using std::chrono::steady_clock;

constexpr size_t kLibraryBytes = 10 << 20;
constexpr const char* kLibraryName = "libpadded.so";

// `size` bytes that do not repeat (no compression, no shortcut can help).
std::string RandomBytes(size_t size) {
  std::mt19937_64 random(25);
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; i += 8) {
    const uint64_t word = random();
    std::memcpy(bytes.data() + i, &word, std::min<size_t>(8, size - i));
  }
  return bytes;
}

// The tests' task library followed by random bytes, kLibraryBytes in all.
std::string PaddedLibrary() {
  std::string library = ReadTextFile(KELVRA_TASKLIB_TASKS);
  return library + RandomBytes(kLibraryBytes - std::min(kLibraryBytes, library.size()));
}

// One minisign key pair, as a library's owner makes it, and what it signs.
class TSigner {
 public:
  TSigner() {
    Made = Run("minisign -G -W -f -p " + (Dir / "k.pub") + " -s " + (Dir / "k.key") + " >/dev/null 2>&1");
  }
  bool Made = false;
  std::string PublicKeyFile() const { return Dir / "k.pub"; }
  // The .minisig text of `bytes` ("ED"; with `legacy` "Ed"), empty when
  // minisign fails.
  std::string Sign(const std::string& bytes, bool legacy = false) {
    WriteTextFile(Dir / "file", bytes);
    const std::string flags = legacy ? "-S -l" : "-S";
    if (!Run("minisign " + flags + " -s " + (Dir / "k.key") + " -m " + (Dir / "file") + " >/dev/null 2>&1 </dev/null"))
      return {};
    return ReadTextFile(Dir / "file.minisig");
  }

 private:
  static bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }
  TTempDir Dir;
};

// An agent process whose user offers the library (and, when given, its
// signature); `keyFile` empty leaves trusted_keys unset.
class TAgentWithLibrary {
 public:
  TAgentWithLibrary(const std::string& library, const std::string& signature, const std::string& keyFile)
      : Requests(signature.empty() ? 2 : 3) {
    User.AddFile("LIBPADDED.SO", library);
    if (!signature.empty()) User.AddFile("LIBPADDED.SO.MINISIG", signature);
    const std::string keys = keyFile.empty() ? "" : "trusted_keys=" + keyFile + "\n";
    WriteTextFile(Dir / "kelvra.INI",
                  "[agent]\n" + keys + "bind_ip=127.0.0.1\nbind_port=" + std::to_string(LobbyPort) +
                      "\nexplicitCPU=0\nsuspend_timeout=0\nbroadcast_port=0\nenableDebugOutput=0\n[coordinator]\n"
                      "coordinator_ip=127.0.0.1\nallowDiscardCoordinatorIp=0\nbind_port=" +
                      std::to_string(Coordinator.Port()) + "\n[user]\ndata_port=" + std::to_string(User.Port()) + "\n");
    Agent = std::make_unique<TAgentProcess>(Dir, std::vector<std::string>{"--headless", "--config", Dir / "kelvra.INI"});
    Listening = WaitUntil([&] { return fake::TLobbyClient("127.0.0.1", LobbyPort).Connected; }, std::chrono::seconds(30));
  }
  ~TAgentWithLibrary() {
    Agent->Signal(SIGTERM);
    Agent->WaitExit(std::chrono::seconds(60));
  }

  bool Listening = false;

  // A new session's first task, from its RUN_TASK to its TASK_DONE at the
  // user, in ms; the session is ended before returning. Negative when no
  // TASK_DONE came within 60 s.
  double FirstTaskMs() {
    fake::TLobbyClient session("127.0.0.1", LobbyPort);
    const size_t before = User.Count();
    const std::string id = std::to_string(++NextId);
    const auto start = steady_clock::now();
    if (!session.RunTask("RUN_TASK," + id + "," + kLibraryName + ",Echo", "")) return -1;
    const bool reported = User.WaitForCount(before + Requests, 60000);
    const double ms = std::chrono::duration<double, std::milli>(steady_clock::now() - start).count();
    session.Send("DISCONNECT");
    session.ClosedByAgent(10000);
    const std::vector<fake::TFakeUser::TRequest> requests = User.Taken();
    const std::string last = requests.empty() ? "" : requests.back().Text;
    if (!reported || last.rfind("TASK_DONE " + id + " ", 0) != 0) {
      std::fprintf(stderr, "task %s: the user's last request \"%s\"; the agent's output:\n%s\n", id.c_str(),
                   last.c_str(), ReadTextFile(Dir / "stderr").substr(0, 2000).c_str());
      return -1;
    }
    return ms;
  }

 private:
  TTempDir Dir;
  fake::TFakeUser User;
  fake::TFramedServer Coordinator;
  uint16_t LobbyPort = fake::FreePort();
  std::unique_ptr<TAgentProcess> Agent;
  const size_t Requests;  // a task's requests at the user: the file(s), then TASK_DONE
  uint32_t NextId = 0;
};

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void BM_FirstTaskOfSession(benchmark::State& state) {
  TSigner signer;
  const std::string library = PaddedLibrary();
  const std::string signature = signer.Made ? signer.Sign(library) : "";
  if (signature.empty()) return state.SkipWithError("minisign cannot make a key or sign (is it installed?)");
  TAgentWithLibrary plain(library, "", "");
  TAgentWithLibrary checked(library, signature, signer.PublicKeyFile());
  if (!plain.Listening || !checked.Listening) return state.SkipWithError("an agent does not listen");
  // One task each first: the agents' first sessions and the page cache.
  if (plain.FirstTaskMs() < 0 || checked.FirstTaskMs() < 0) return state.SkipWithError("the first task failed");

  std::vector<double> plainMs, checkedMs, addedMs;
  const auto deadline = steady_clock::now() + std::chrono::minutes(10);
  for (auto _ : state) {
    const bool plainFirst = plainMs.size() % 2 == 0;
    const double first = (plainFirst ? plain : checked).FirstTaskMs();
    const double second = (plainFirst ? checked : plain).FirstTaskMs();
    if (first < 0 || second < 0) {
      state.SkipWithError("a task failed (its agent's output is above)");
      break;
    }
    plainMs.push_back(plainFirst ? first : second);
    checkedMs.push_back(plainFirst ? second : first);
    addedMs.push_back(checkedMs.back() - plainMs.back());
    if (steady_clock::now() > deadline) {
      state.SkipWithError("the rounds took longer than 10 minutes");
      break;
    }
  }
  state.counters["unsigned_ms"] = Median(plainMs);
  state.counters["signed_ms"] = Median(checkedMs);
  state.counters["added_ms"] = Median(checkedMs) - Median(plainMs);
  state.counters["added_paired_ms"] = Median(addedMs);
}
BENCHMARK(BM_FirstTaskOfSession)->Iterations(200)->UseRealTime()->Unit(benchmark::kMillisecond);

// Arguments: 0 "ED", 1 the legacy "Ed"; the piece size (0: the file whole).
void BM_Verify10MiB(benchmark::State& state) {
  const bool legacy = state.range(0) == 1;
  const auto piece = static_cast<size_t>(state.range(1));
  TSigner signer;
  const std::string file = RandomBytes(kLibraryBytes);
  const std::string signature = signer.Made ? signer.Sign(file, legacy) : "";
  TTrustedKeys keys;
  if (signature.empty() || !TTrustedKeys::Parse(ReadTextFile(signer.PublicKeyFile()), keys))
    return state.SkipWithError("minisign cannot make a key or sign (is it installed?)");
  for (auto _ : state) {
    TStatus verified;
    if (piece == 0) {
      verified = keys.Verify(file, signature);
    } else {
      TTrustedKeys::TCheck check;
      verified = check.Start(keys, signature);
      for (size_t at = 0; verified && at < file.size(); at += piece)
        check.Update(file.data() + at, std::min(file.size() - at, piece));
      if (verified) verified = check.Finish();
    }
    if (!verified) {
      state.SkipWithError("the signature does not verify");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(file.size()));
}
BENCHMARK(BM_Verify10MiB)->Args({0, 0})->Args({0, 65536})->Args({1, 65536})->Unit(benchmark::kMillisecond);

}  // namespace
