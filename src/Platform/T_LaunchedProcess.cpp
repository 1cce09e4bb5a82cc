// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_LaunchedProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

TLaunchedProcess::~TLaunchedProcess() {
  if (Pid > 0 && !Reaped) Kill();
}

TStatus TLaunchedProcess::Launch(const std::string& path, const std::vector<std::string>& arguments,
                                 const std::vector<std::string>& environment,
                                 const std::vector<std::pair<int, int>>& handOver) {
  if (arguments.empty()) return TStatus::Failure("cannot start a program", "no program given");
  std::vector<std::string> argumentCopy = arguments, environmentCopy = environment;
  std::vector<char*> argv, envp;
  for (std::string& argument : argumentCopy) argv.push_back(argument.data());
  argv.push_back(nullptr);
  for (std::string& entry : environmentCopy) envp.push_back(entry.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  // dup2 onto the number in the child clears close-on-exec there (glibc
  // clears it also when the numbers are the same).
  for (const auto& [here, there] : handOver) posix_spawn_file_actions_adddup2(&actions, here, there);
  sigset_t none, caught;
  sigemptyset(&none);
  sigemptyset(&caught);
  for (int number : {SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGUSR1, SIGUSR2}) sigaddset(&caught, number);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &caught);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) return TStatus::FromErrno(error, "posix_spawn " + path);
  Pid = pid;
  // Nobody else reaps this child, so the number still names it.
  PidFile = TFileDescriptor(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (PidFile.Valid()) ::fcntl(PidFile.Get(), F_SETFD, FD_CLOEXEC);
  return {};
}

bool TLaunchedProcess::Ended(int& waitStatus) {
  if (Pid <= 0) return false;
  if (!Reaped) {
    int status = 0;
    const pid_t reaped = RetryOnInterrupt([&] { return ::waitpid(Pid, &status, WNOHANG); });
    if (reaped != Pid) return false;
    Reaped = true;
    FinalStatus = status;
  }
  waitStatus = FinalStatus;
  return true;
}

void TLaunchedProcess::Signal(int number) {
  if (Pid > 0 && !Reaped) ::kill(Pid, number);
}

int TLaunchedProcess::Kill() {
  if (Pid <= 0) return 0;
  if (!Reaped) {
    ::kill(Pid, SIGKILL);
    int status = 0;
    if (RetryOnInterrupt([&] { return ::waitpid(Pid, &status, 0); }) == Pid) FinalStatus = status;
    Reaped = true;
  }
  return FinalStatus;
}

pid_t TLaunchedProcess::OwnId() { return ::getpid(); }

std::string TLaunchedProcess::DescribeEnding(int waitStatus) {
  if (WIFEXITED(waitStatus)) return "exit status " + std::to_string(WEXITSTATUS(waitStatus));
  if (WIFSIGNALED(waitStatus)) {
    const int number = WTERMSIG(waitStatus);
    const char* name = ::sigabbrev_np(number);
    return "killed by " + (name != nullptr ? "SIG" + std::string(name) : "signal " + std::to_string(number));
  }
  return "ended (wait status " + std::to_string(waitStatus) + ")";
}
