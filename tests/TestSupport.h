// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the tests: a private temporary folder, fake platform
// facilities, and the settings every test agent must run with.
#pragma once

#include <gtest/gtest.h>
#include <net/if.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <regex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Platform/T_LinuxDynamicLibraries.h"
#include "Platform/T_LinuxFileSystem.h"
#include "Platform/T_LinuxMachine.h"
#include "Platform/T_LinuxNameResolver.h"
#include "Platform/T_LinuxSystem.h"
#include "Platform/T_Platform.h"
#include "Platform/T_TcpSocket.h"
#include "Platform/T_WakeDescriptor.h"
#include "StatusAssertions.h"

// A folder of its own for one test, removed with everything in it.
class TTempDir {
 public:
  TTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kelvra-test-XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    Path = made;
  }
  ~TTempDir() {
    std::error_code ignored;
    std::filesystem::permissions(Path, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(Path, ignored);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Get() const { return Path; }
  std::string operator/(const std::string& name) const { return Path + "/" + name; }

 private:
  std::string Path;
};

inline void WriteTextFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

// `text` with every offset of a code place ("+0x1a2f") made "+0x*": a
// fault's text compared whole, whatever the build's code layout.
inline std::string WithoutOffsets(const std::string& text) {
  return std::regex_replace(text, std::regex("\\+0x[0-9a-f]+"), "+0x*");
}

inline std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

// "isolation=thread\n" when the suite runs again with sessions in the
// agent's own process (KELVRA_TEST_ISOLATION=thread), else nothing: the
// agent's default. A test's own isolation setting, given first, wins.
inline std::string TestIsolation() {
  const char* isolation = std::getenv("KELVRA_TEST_ISOLATION");
  return isolation != nullptr && std::string(isolation) == "thread" ? "isolation=thread\n" : "";
}

// Settings that keep a test agent from broadcasting (a coordinator on this
// machine, kept even while it is down) or suspending work on a busy machine.
inline std::string SafeSettings(const std::string& agentExtra = "", const std::string& coordinatorExtra = "") {
  // The first occurrence of a key counts, so the extras come first.
  return "[agent]\n" + agentExtra + TestIsolation() + "suspend_timeout=0\nbind_port=0\nbroadcast_port=0\n" +
         "[coordinator]\n" + coordinatorExtra + "coordinator_ip=127.0.0.1\nallowDiscardCoordinatorIp=0\n";
}

// A machine with a chosen number of processors, data and state folders and affinity
// mask. Priority and affinity changes are recorded, never made; priority
// changes answer `PrioritiesAllowed`. Threads of a name given to
// RefuseThreads cannot be made (after the first `madeFirst`), as under a task
// limit.
class TFakeSystem : public TLinuxSystem {
 public:
  int Processors = 4;
  std::string DataFolder;
  std::atomic<uint32_t> AffinityMask{15};
  std::atomic<bool> PrioritiesAllowed{true};

  struct TThreadChange {
    TSystemThreadId Thread;
    uint32_t Value;  // a TThreadPriority or an affinity mask
  };

  std::string DataHome() override { return DataFolder; }
  // Where crash reports go; none are written while it is empty.
  std::string StateFolder;
  std::string StateHome() override { return StateFolder; }
  void ReleaseFreeMemory() override {
    ++MemoryReleases;
    TLinuxSystem::ReleaseFreeMemory();
  }
  std::atomic<int> MemoryReleases{0};
  TStatus CreateThread(const std::string& name, std::function<void()> body, std::thread& thread) override {
    {
      std::lock_guard<std::mutex> guard(Mutex);
      if (auto refused = Refused.find(name); refused != Refused.end() && refused->second-- <= 0) {
        ++RefusedCount;
        return TStatus::FromErrno(EAGAIN, "cannot make thread " + name);
      }
    }
    return TLinuxSystem::CreateThread(name, std::move(body), thread);
  }
  void RefuseThreads(const std::string& name, int madeFirst = 0) {
    std::lock_guard<std::mutex> guard(Mutex);
    Refused[name] = madeFirst;
  }
  int RefusedThreads() {
    std::lock_guard<std::mutex> guard(Mutex);
    return RefusedCount;
  }
  int AvailableProcessors() override { return Processors; }
  void SetCurrentThreadName(const std::string& name) override {
    std::lock_guard<std::mutex> guard(Mutex);
    Names.push_back(name);
  }
  std::vector<std::string> ThreadNames() {
    std::lock_guard<std::mutex> guard(Mutex);
    return Names;
  }
  TStatus SetThreadPriority(TSystemThreadId thread, TThreadPriority priority) override {
    std::lock_guard<std::mutex> guard(Mutex);
    Priorities.push_back({thread, static_cast<uint32_t>(priority)});
    if (PrioritiesAllowed) return {};
    return TStatus::FromErrno(EPERM, "cannot change the priority of thread " + std::to_string(thread));
  }
  uint32_t ProcessAffinityMask() override { return AffinityMask; }
  TStatus SetThreadAffinityMask(TSystemThreadId thread, uint32_t mask) override {
    std::lock_guard<std::mutex> guard(Mutex);
    Pinnings.push_back({thread, mask});
    return {};
  }
  std::vector<TThreadChange> PriorityChanges() {
    std::lock_guard<std::mutex> guard(Mutex);
    return Priorities;
  }
  std::vector<TThreadChange> AffinityChanges() {
    std::lock_guard<std::mutex> guard(Mutex);
    return Pinnings;
  }

 private:
  std::mutex Mutex;
  std::vector<std::string> Names;
  std::vector<TThreadChange> Priorities;
  std::vector<TThreadChange> Pinnings;
  std::map<std::string, int> Refused;  // by name, how many may still be made
  int RefusedCount = 0;
};

// Keeps every message the agent writes to the debug channel.
class TRecordingSink : public IDebugSink {
 public:
  void Write(std::string_view message) override {
    std::lock_guard<std::mutex> guard(Mutex);
    Lines.emplace_back(message);
  }
  void Beep() override {
    std::lock_guard<std::mutex> guard(Mutex);
    ++Beeps;
  }
  std::vector<std::string> Taken() {
    std::lock_guard<std::mutex> guard(Mutex);
    return Lines;
  }

  std::mutex Mutex;
  std::vector<std::string> Lines;
  int Beeps = 0;
};

// Dotted IPv4 texts resolve to themselves as with the real resolver; host
// names come from `Hosts` (name -> dotted address), never from the system.
// An unknown name fails as an unresolvable one does.
class TFakeNameResolver : public TLinuxNameResolver {
 public:
  std::map<std::string, std::string> Hosts;
  std::atomic<int> LookUps{0};

  TStatus LookUpName(const std::string& host, uint32_t& address) override {
    ++LookUps;
    auto found = Hosts.find(host);
    if (found == Hosts.end() || !TTcpSocket::ParseAddress(found->second, address)) return Unresolved(host);
    return {};
  }
};

// Real files, except that writing the settings file always fails, as in a
// read-only folder.
class TReadOnlyFiles : public TLinuxFileSystem {
 public:
  TStatus WriteFile(const std::string& path, std::string_view) override {
    return TStatus::FromErrno(EROFS, "cannot write " + path);
  }
};

// A platform of real files and libraries with a fake machine, a recording
// sink and a fake name resolver.
struct TTestPlatform {
  TLinuxFileSystem Files;
  TFakeSystem System;
  TRecordingSink Debug;
  TFakeNameResolver Names;
  TLinuxMachine Machine;
  TLinuxDynamicLibraries Libraries;
  TPlatform Get() { return TPlatform{&Files, &System, &Debug, &Names, &Machine, &Libraries}; }
};

// The interface names of this process's network namespace.
inline std::vector<std::string> Interfaces() {
  std::vector<std::string> names;
  if (struct if_nameindex* list = if_nameindex()) {
    for (struct if_nameindex* entry = list; entry->if_index != 0; ++entry) names.emplace_back(entry->if_name);
    if_freenameindex(list);
  }
  return names;
}

// The main of a test executable that lets agents broadcast: runs the tests
// only where the network namespace holds nothing but the loopback interface.
inline int RunInLoopbackNamespace(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (Interfaces() != std::vector<std::string>{"lo"}) {
    std::fprintf(stderr, "Refusing to run: this network namespace has more than a loopback interface.\n");
    return 1;
  }
  return RUN_ALL_TESTS();
}

// Polls `condition` until it holds or `timeout` has passed; its last answer.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Runs `call` on a thread of its own and waits for it at most `limit` (a
// generous bound: a call that does not end is a hang). After a hang the
// test fails and the process ends at once, since the stuck call still uses
// the test's objects.
inline void RunBounded(const std::function<void()>& call, std::chrono::milliseconds limit, const std::string& what) {
  std::mutex mutex;
  std::condition_variable changed;
  bool ended = false;
  std::thread runner([&] {
    call();
    std::lock_guard<std::mutex> guard(mutex);
    ended = true;
    changed.notify_all();
  });
  std::unique_lock<std::mutex> lock(mutex);
  if (!changed.wait_for(lock, limit, [&] { return ended; })) {
    ADD_FAILURE() << what << " hangs: not ended within " << limit.count() << " ms";
    std::fflush(stdout);
    std::_Exit(1);
  }
  lock.unlock();
  runner.join();
}

// Milliseconds since `start`.
inline long long ElapsedMs(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// `content` deflated behind the compressed-stream header that claims `size`.
inline std::string CompressedBlock(const std::string& content, uint32_t size) {
  uLongf length = compressBound(content.size());
  std::string deflated(length, '\0');
  compress(reinterpret_cast<Bytef*>(deflated.data()), &length, reinterpret_cast<const Bytef*>(content.data()),
           content.size());
  deflated.resize(length);
  std::string block = "\x95\x34\x90\x94\xFF\x43\x09\xA4";
  for (int i = 0; i < 4; ++i) block.push_back(static_cast<char>(size >> (8 * i)));
  return block + deflated;
}

// Waits until `condition` holds (at most `timeout`) while serving the main
// thread's hand-overs, as the headless runner does. The caller's thread is
// the queue's main thread.
template <typename TQueue>
bool ServeMainThreadUntil(TQueue& mainThread, const std::function<bool()>& condition,
                          std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    WaitReadable({mainThread.WakeDescriptor()}, 20);
    mainThread.ServePending();
  }
  return true;
}

// The peak resident memory (VmHWM) of process `pid` ("self": this one) in
// KiB, 0 when it cannot be read (the process has ended).
inline uint64_t PeakMemoryKib(const std::string& pid = "self") {
  std::ifstream status("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
  return 0;
}

// Makes this process's peak resident memory its present one, so that
// PeakMemoryKib("self") tells what came after.
inline bool ResetPeakMemory() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}
