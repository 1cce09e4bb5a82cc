// SPDX-License-Identifier: Apache-2.0
// TConfinement applied in forked children. The test process has one thread,
// so each child starts with one; it confines itself, performs a list of acts
// and sends back the errno of each (0: the act succeeded), and the parent
// checks them. Confinement cannot be undone, so nothing of it reaches the
// test process. Cases that need a kernel layer skip where the kernel lacks it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/landlock.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "Platform/T_Confinement.h"
#include "TestSupport.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KELVRA_SANITIZER_MAPS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KELVRA_SANITIZER_MAPS 1
#endif
#endif

namespace {

constexpr int kBoundMs = 20000;
constexpr uint64_t kMiB = uint64_t{1} << 20;

// One act of a confined child: what it does, answering 0 or an errno, and
// what it should answer.
struct TAct {
  std::string Name;
  std::function<int()> Do;
  int Expected;
};

// The errno of a system call's result; 0 when it succeeded.
int ErrnoOf(long result) { return result < 0 ? errno : 0; }

// The wait status of `pid` once it has ended within `timeoutMs`; else kills
// it and answers -1.
int WaitBounded(pid_t pid, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    const pid_t ended = ::waitpid(pid, &status, WNOHANG);
    if (ended == pid) return status;
    if (ended < 0) return -1;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    ::usleep(5000);
  }
}

// Forks; in the child 0, else the errno of fork or what the child ended
// with (its exit code, 128 + a signal).
int InChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid < 0) return errno;
  if (pid == 0) ::_exit(body());
  const int status = WaitBounded(pid, kBoundMs);
  if (status < 0) return ETIMEDOUT;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int CreateThreadAndJoin() {
  pthread_t thread;
  const int created = ::pthread_create(
      &thread, nullptr, [](void*) -> void* { return nullptr; }, nullptr);
  return created != 0 ? created : ::pthread_join(thread, nullptr);
}

volatile sig_atomic_t gSignalled = 0;

// Sends SIGUSR1 to a new thread of this process, which waits for it (at
// most a few seconds); answers the error of pthread_kill, or ETIMEDOUT.
int SignalAThread() {
  gSignalled = 0;
  pthread_t thread;
  auto waitForSignal = [](void*) -> void* {
    for (int waited = 0; gSignalled == 0 && waited < 5000; ++waited) ::usleep(1000);
    return nullptr;
  };
  if (const int created = ::pthread_create(&thread, nullptr, waitForSignal, nullptr); created != 0) return created;
  const int sent = ::pthread_kill(thread, SIGUSR1);
  ::pthread_join(thread, nullptr);
  return sent != 0 ? sent : gSignalled != 0 ? 0 : ETIMEDOUT;
}

// What a confined child sent back and how it ended.
struct TChildReport {
  bool Confined = false;
  std::string Text;  // the layers applied, or why Apply failed
  std::vector<int> Answers;
  int Status = -1;  // its wait status; -1 when it had to be killed
};

// Runs `acts` in a child confined by `rules`. The child writes its first
// line as soon as it is confined, then one answer per act, and ends with
// _exit: nothing of the test's own exit runs under the confinement.
TChildReport RunConfined(const TConfinementRules& rules, const std::vector<TAct>& acts) {
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::close(pipeEnds[0]);
    auto send = [&](const std::string& text) {
      for (size_t sent = 0; sent < text.size();) {
        const ssize_t written = ::write(pipeEnds[1], text.data() + sent, text.size() - sent);
        if (written <= 0) ::_exit(2);
        sent += static_cast<size_t>(written);
      }
    };
    std::string applied;
    const TStatus confined = TConfinement::Apply(rules, applied);
    send((confined ? "confined\n" + applied : "failed\n" + confined.Text()) + "\n");
    if (!confined) ::_exit(1);
    for (const TAct& act : acts) send(std::to_string(act.Do()) + "\n");
    ::_exit(0);
  }
  ::close(pipeEnds[1]);
  std::string received;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd readable{pipeEnds[0], POLLIN, 0};
    if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[512];
    const ssize_t got = ::read(pipeEnds[0], buffer, sizeof buffer);
    if (got <= 0) break;
    received.append(buffer, static_cast<size_t>(got));
  }
  ::close(pipeEnds[0]);

  TChildReport report;
  report.Status = WaitBounded(pid, kBoundMs);
  std::istringstream lines(received);
  std::string first;
  std::getline(lines, first);
  report.Confined = first == "confined";
  std::getline(lines, report.Text);
  for (int answer = 0; lines >> answer;) report.Answers.push_back(answer);
  return report;
}

// Runs `acts` confined by `rules` and checks every answer.
TChildReport ExpectActs(const TConfinementRules& rules, const std::vector<TAct>& acts) {
  TChildReport report = RunConfined(rules, acts);
  EXPECT_TRUE(report.Confined) << report.Text;
  EXPECT_TRUE(WIFEXITED(report.Status) && WEXITSTATUS(report.Status) == 0) << "wait status " << report.Status;
  EXPECT_EQ(report.Answers.size(), acts.size());
  for (size_t i = 0; i < acts.size() && i < report.Answers.size(); ++i)
    EXPECT_EQ(report.Answers[i], acts[i].Expected) << acts[i].Name << ": " << std::strerror(report.Answers[i])
                                                   << " instead of " << std::strerror(acts[i].Expected);
  return report;
}

int LandlockAbi() {
  return static_cast<int>(::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION));
}

bool HaveSeccompFilter() {
  const std::string layers = TConfinement::Describe();
  return layers.find(", seccomp filter") != std::string::npos;
}

int OpenErrno(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  ::close(fd);
  return 0;
}

int WriteFileErrno(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  const int error = ErrnoOf(::write(fd, text.data(), text.size()));
  ::close(fd);
  return error;
}

}  // namespace

TEST(TConfinement, DescribesTheLayersOfThisKernel) {
  const std::string layers = TConfinement::Describe();
  const int abi = LandlockAbi();
  if (abi > 0)
    EXPECT_NE(layers.find("Landlock ABI " + std::to_string(abi) + " (files"), std::string::npos) << layers;
  else
    EXPECT_EQ(layers.rfind("no Landlock (", 0), 0U) << layers;
  EXPECT_NE(layers.find("no new privileges, memory bound"), std::string::npos) << layers;

  const std::vector<std::string> paths = TConfinement::SystemPaths();
  for (const char* expected : {"/usr", "/etc", "/proc", "/dev/null", "/dev/urandom"})
    EXPECT_NE(std::find(paths.begin(), paths.end(), expected), paths.end()) << expected;
  for (const std::string& path : paths) EXPECT_EQ(::access(path.c_str(), F_OK), 0) << path;
  EXPECT_GE(TConfinement::DefaultMemoryLimitMiB(), 64U);
}

TEST(TConfinement, FilesOnlyBeneathTheGrantedPaths) {
  if (LandlockAbi() <= 0) GTEST_SKIP() << "no Landlock in this kernel";
  TTempDir home;
  for (const char* folder : {"sibling", "readable", "work", "drop"})
    ASSERT_EQ(::mkdir((home / folder).c_str(), 0700), 0) << folder;
  WriteTextFile(home / "secret.txt", "secret");
  WriteTextFile(home / "sibling/other.txt", "other");
  WriteTextFile(home / "readable/data.txt", "data");
  WriteTextFile(home / "drop/old.txt", "old report");
  TConfinementRules rules;
  rules.ReadPaths = {home / "readable", home / "missing"};
  rules.WritePaths = {home / "work"};
  rules.DropPaths = {home / "drop"};
  const TChildReport report = ExpectActs(
      rules, {{"read a file of home", [&] { return OpenErrno(home / "secret.txt", O_RDONLY); }, EACCES},
              {"list a sibling folder", [&] { return OpenErrno(home / "sibling", O_RDONLY | O_DIRECTORY); }, EACCES},
              {"create a file in home", [&] { return OpenErrno(home / "new.txt", O_WRONLY | O_CREAT); }, EACCES},
              {"read beneath a read path", [&] { return OpenErrno(home / "readable/data.txt", O_RDONLY); }, 0},
              {"list a read path", [&] { return OpenErrno(home / "readable", O_RDONLY | O_DIRECTORY); }, 0},
              {"write beneath a read path", [&] { return OpenErrno(home / "readable/data.txt", O_WRONLY); }, EACCES},
              {"write in a write path", [&] { return WriteFileErrno(home / "work/a.txt", "work"); }, 0},
              {"read it back", [&] { return OpenErrno(home / "work/a.txt", O_RDONLY); }, 0},
              {"make a folder there", [&] { return ErrnoOf(::mkdir((home / "work/sub").c_str(), 0700)); }, 0},
              {"rename into it",
               [&] { return ErrnoOf(::rename((home / "work/a.txt").c_str(), (home / "work/sub/b.txt").c_str())); }, 0},
              {"truncate there", [&] { return ErrnoOf(::truncate((home / "work/sub/b.txt").c_str(), 0)); }, 0},
              {"remove there", [&] { return ErrnoOf(::unlink((home / "work/sub/b.txt").c_str())); }, 0},
              {"write a report", [&] { return WriteFileErrno(home / "drop/report.txt", "crash"); }, 0},
              {"read the report back", [&] { return OpenErrno(home / "drop/report.txt", O_RDONLY); }, EACCES},
              {"list the drop folder", [&] { return OpenErrno(home / "drop", O_RDONLY | O_DIRECTORY); }, 0},
              {"remove an old report", [&] { return ErrnoOf(::unlink((home / "drop/old.txt").c_str())); }, 0},
              {"make a folder in the drop folder", [&] { return ErrnoOf(::mkdir((home / "drop/sub").c_str(), 0700)); },
               EACCES},
              {"read a system file", [] { return OpenErrno("/proc/self/status", O_RDONLY); }, 0},
              {"list a system folder", [] { return OpenErrno("/usr/lib", O_RDONLY | O_DIRECTORY); }, 0},
              {"write /dev/null", [] { return OpenErrno("/dev/null", O_WRONLY); }, 0}});
  EXPECT_NE(report.Text.find("Landlock ABI"), std::string::npos) << report.Text;
  EXPECT_EQ(ReadTextFile(home / "drop/report.txt"), "crash");
  EXPECT_FALSE(std::filesystem::exists(home / "drop/old.txt"));
  EXPECT_EQ(ReadTextFile(home / "secret.txt"), "secret");
}

TEST(TConfinement, NoSocketsUnlessTheNetworkIsAllowed) {
  if (!HaveSeccompFilter()) GTEST_SKIP() << "no seccomp filter in this kernel";
  ExpectActs({}, {{"an IPv4 socket", [] { return ErrnoOf(::socket(AF_INET, SOCK_STREAM, 0)); }, EACCES},
                  {"a local socket", [] { return ErrnoOf(::socket(AF_UNIX, SOCK_STREAM, 0)); }, EACCES},
                  {"a socket pair",
                   [] {
                     int pair[2];
                     return ErrnoOf(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
                   },
                   0}});

  // With the network allowed, a connection to a listener of the parent.
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  TConfinementRules rules;
  rules.AllowNetwork = true;
  const TChildReport report =
      ExpectActs(rules, {{"connect to the parent",
                          [&] {
                            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                            if (fd < 0) return errno;
                            return ErrnoOf(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
                          },
                          0}});
  ::close(listener);
  EXPECT_EQ(report.Text.find("network"), std::string::npos) << report.Text;
}

TEST(TConfinement, NoProgramsOrProcessesUnlessAllowedThreadsAlways) {
  if (!HaveSeccompFilter()) GTEST_SKIP() << "no seccomp filter in this kernel";
  auto runTrue = [] {
    char* const arguments[] = {const_cast<char*>("true"), nullptr};
    return ErrnoOf(::execve("/bin/true", arguments, environ));
  };
  ExpectActs({}, {{"execute /bin/true", runTrue, EPERM},
                  {"fork", [] { return InChild([] { return 0; }); }, EPERM},
                  {"clone3", [] { return ErrnoOf(::syscall(SYS_clone3, nullptr, 0)); }, ENOSYS},
                  {"a user namespace", [] { return ErrnoOf(::unshare(CLONE_NEWUSER)); }, EPERM},
                  {"a thread", CreateThreadAndJoin, 0}});

  TConfinementRules rules;
  rules.AllowExec = true;
  ExpectActs(rules, {{"fork and execute /bin/true", [&] { return InChild([&] { return 100 + runTrue(); }); }, 0},
                     {"a thread", CreateThreadAndJoin, 0}});
}

TEST(TConfinement, SignalsOnlyToItself) {
  if (!HaveSeccompFilter()) GTEST_SKIP() << "no seccomp filter in this kernel";
  ::signal(SIGUSR1, [](int) { gSignalled = 1; });
  ExpectActs(
      {}, {{"signal the parent", [] { return ErrnoOf(::kill(::getppid(), 0)); }, EPERM},
           {"signal itself", [] { return ErrnoOf(::kill(::getpid(), 0)); }, 0},
           {"signal another of its threads", SignalAThread, 0},
           {"a descriptor of the parent", [] { return ErrnoOf(::syscall(SYS_pidfd_open, ::getppid(), 0)); }, EPERM}});
  ::signal(SIGUSR1, SIG_DFL);

  // A task may end its own process.
  const TChildReport report =
      RunConfined({}, {{"kill itself", [] { return ErrnoOf(::kill(::getpid(), SIGKILL)); }, 0}});
  EXPECT_TRUE(report.Confined) << report.Text;
  EXPECT_TRUE(report.Answers.empty());
  EXPECT_TRUE(WIFSIGNALED(report.Status) && WTERMSIG(report.Status) == SIGKILL) << "wait status " << report.Status;
}

TEST(TConfinement, MemoryBoundFailsLargeAllocationsOnly) {
#ifdef KELVRA_SANITIZER_MAPS
  GTEST_SKIP() << "the sanitizer's own mappings count against the bound";
#endif
  static void* volatile kept = nullptr;  // keeps the allocations from being optimised away
  auto allocate = [](size_t size) {
    kept = std::malloc(size);
    const int error = kept == nullptr ? errno : 0;
    if (kept != nullptr) std::memset(kept, 1, size);
    std::free(kept);
    return error;
  };
  TConfinementRules rules;
  rules.MemoryLimitBytes = 256 * kMiB;
  std::vector<TAct> acts{{"allocate twice the bound", [&] { return allocate(512 * kMiB); }, ENOMEM},
                         {"allocate a little", [&] { return allocate(64 * 1024); }, 0},
                         {"allocate a quarter of the bound", [&] { return allocate(64 * kMiB); }, 0},
                         {"reserve address space beyond the bound",
                          [] {
                            void* reserved =
                                ::mmap(nullptr, 1024 * kMiB, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
                            if (reserved == MAP_FAILED) return errno;
                            return ErrnoOf(::munmap(reserved, 1024 * kMiB));
                          },
                          0},
                         {"a thread", CreateThreadAndJoin, 0}};
  // The filter keeps even a process with the right to raise it below it.
  if (HaveSeccompFilter())
    acts.push_back({"raise the bound",
                    [] {
                      const rlimit unbounded{RLIM_INFINITY, RLIM_INFINITY};
                      return ErrnoOf(::setrlimit(RLIMIT_DATA, &unbounded));
                    },
                    EPERM});
  const TChildReport report = ExpectActs(rules, acts);
  EXPECT_NE(report.Text.find("memory bound 256 MiB"), std::string::npos) << report.Text;
}
