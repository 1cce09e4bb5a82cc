// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "Platform/PosixCalls.h"

extern char** environ;

std::vector<std::string> ChangedEnvironment(const std::vector<std::string>& changes) {
  std::vector<std::string> environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) environment.emplace_back(*entry);
  for (const std::string& change : changes) {
    const std::string name = change.substr(0, change.find('='));
    std::erase_if(environment, [&](const std::string& entry) { return entry.rfind(name + "=", 0) == 0; });
    if (change.find('=') != std::string::npos) environment.push_back(change);
  }
  return environment;
}

TChildProcess::~TChildProcess() {
  if (Pid > 0 && !Ended) {
    ::kill(Pid, SIGKILL);
    RetryOnInterrupt([&] { return ::waitpid(Pid, nullptr, 0); });
  }
}

namespace {

// In the new child, between fork and exec: only async-signal-safe calls.
// Reports the errno of a failure through `report` and ends.
[[noreturn]] void BecomeProgram(pid_t parent, char* const* argv, char* const* envp, const char* logPath,
                                const char* errorPath, const char* inputPath, int report) {
  // The child ends with the thread that started it, even when that one is
  // killed and can stop nothing any more.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  int error = 0;
  if (::getppid() != parent) ::_exit(127);
  const int input = ::open(inputPath, O_RDONLY);
  const int output = ::open(logPath, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
  const int errors = errorPath[0] == 0 ? output : ::open(errorPath, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
  if (input < 0 || output < 0 || errors < 0 || ::dup2(input, 0) < 0 || ::dup2(output, 1) < 0 || ::dup2(errors, 2) < 0)
    error = errno;
  if (error == 0) {
    ::execve(argv[0], argv, envp);
    error = errno;
  }
  [[maybe_unused]] ssize_t written = ::write(report, &error, sizeof error);
  ::_exit(127);
}

}  // namespace

TStatus TChildProcess::Start(const std::vector<std::string>& arguments,
                             const std::vector<std::string>& environmentChanges, const std::string& logPath,
                             const std::string& errorPath, const std::string& inputPath) {
  if (arguments.empty()) return TStatus::Failure("cannot start a program", "no program given");
  std::vector<std::string> argumentCopy = arguments;
  std::vector<std::string> environment = ChangedEnvironment(environmentChanges);
  std::vector<char*> argv, envp;
  for (std::string& argument : argumentCopy) argv.push_back(argument.data());
  argv.push_back(nullptr);
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  // The child writes the errno of a failed start here; a successful exec
  // closes it unread.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return TStatus::FromErrno(errno, "cannot start " + arguments[0]);
  const pid_t parent = ::getpid();
  Pid = ::fork();
  if (Pid == 0)
    BecomeProgram(parent, argv.data(), envp.data(), logPath.c_str(), errorPath.c_str(), inputPath.c_str(), report[1]);
  const int forkError = errno;
  ::close(report[1]);
  TFileDescriptor reader(report[0]);
  if (Pid < 0) return TStatus::FromErrno(forkError, "cannot start " + arguments[0]);
  int error = 0;
  const ssize_t got = RetryOnInterrupt([&] { return ::read(reader.Get(), &error, sizeof error); });
  if (got == static_cast<ssize_t>(sizeof error)) {
    RetryOnInterrupt([&] { return ::waitpid(Pid, nullptr, 0); });
    Pid = -1;
    return TStatus::FromErrno(error, "cannot start " + arguments[0]);
  }
  return {};
}

bool TChildProcess::Reap() {
  if (Pid <= 0) return false;
  if (Ended) return true;
  int status = 0;
  if (RetryOnInterrupt([&] { return ::waitpid(Pid, &status, WNOHANG); }) != Pid) return false;
  Ended = true;
  ExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

bool TChildProcess::Running() { return Pid > 0 && !Reap(); }

void TChildProcess::Signal(int number) {
  if (Running()) ::kill(Pid, number);
}

int TChildProcess::WaitExit(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!Reap()) {
    if (Pid <= 0 || std::chrono::steady_clock::now() >= deadline) return kRunning;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return ExitStatus;
}

int TChildProcess::Stop(int graceMs) {
  Signal(SIGTERM);
  if (WaitExit(graceMs) != kRunning) return ExitStatus;
  Signal(SIGKILL);
  return WaitExit(10000);
}

std::string FindOnSearchPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return "";
  const std::string folders = path;
  for (size_t start = 0; start <= folders.size();) {
    size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    const std::string folder = end > start ? folders.substr(start, end - start) : ".";
    const std::string candidate = folder + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0 && !std::filesystem::is_directory(candidate)) return candidate;
    start = end + 1;
  }
  return "";
}

bool IsTerminal(int fd) { return ::isatty(fd) == 1; }

TStatus MakeTemporaryFolder(const std::string& prefix, std::string& path) {
  std::error_code error;
  std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error) base = "/tmp";
  std::string pattern = (base / (prefix + "XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) return TStatus::FromErrno(errno, "cannot create a folder in " + base.string());
  path = pattern;
  return {};
}
