// SPDX-License-Identifier: Apache-2.0
// TChildProcess: one program started by this process, with its standard
// input from a file (/dev/null unless given) and its output in files. The
// owner signals it, waits for it with a bound and stops it; whatever is still
// running when the owner goes is killed (SIGKILL) and reaped, so no child is
// ever left behind; should this process end without doing so (killed), the
// child gets SIGTERM when the thread that started it ends. Signals go to the
// child's process id only.
//
// Threads: one owner; not shared between threads.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "Platform/T_Status.h"

class TChildProcess {
 public:
  // The status Stop and WaitExit answer while the child still runs.
  static constexpr int kRunning = -1;

  TChildProcess() = default;
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;
  ~TChildProcess();

  // Starts `arguments[0]` (a path) with `arguments`. Its environment is this
  // process's with `environmentChanges` applied in order: "NAME=value" sets a
  // variable, a bare "NAME" removes it. Standard output and error go to
  // `logPath` (created, mode 0600), standard error to `errorPath` instead
  // when given; standard input comes from `inputPath`. Precondition:
  // nothing started yet.
  TStatus Start(const std::vector<std::string>& arguments, const std::vector<std::string>& environmentChanges,
                const std::string& logPath, const std::string& errorPath = "",
                const std::string& inputPath = "/dev/null");

  pid_t Id() const { return Pid; }
  // Whether the child has been started and has not ended (reaps it when it
  // has).
  bool Running();
  // Sends `number` to the child while it runs.
  void Signal(int number);
  // The exit status once the child has ended within `timeoutMs` (128 + the
  // signal for one ended by a signal), else kRunning.
  int WaitExit(int timeoutMs);
  // SIGTERM, then SIGKILL when it has not ended within `graceMs`; answers
  // the exit status.
  int Stop(int graceMs);

 private:
  // Reaps the child without waiting; true once it has ended.
  bool Reap();

  pid_t Pid = -1;
  bool Ended = false;
  int ExitStatus = kRunning;
};

// This process's environment with `changes` applied in order: "NAME=value"
// sets a variable, a bare "NAME" removes it.
std::vector<std::string> ChangedEnvironment(const std::vector<std::string>& changes);

// The path of the executable `name` found in the folders of $PATH, empty
// when none is.
std::string FindOnSearchPath(const std::string& name);

// Whether descriptor `fd` is a terminal.
bool IsTerminal(int fd);

// A new folder of this user only (mode 0700) in the system's temporary
// folder, named `prefix` + six random characters.
TStatus MakeTemporaryFolder(const std::string& prefix, std::string& path);
