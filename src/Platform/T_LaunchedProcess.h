// SPDX-License-Identifier: Apache-2.0
// TLaunchedProcess: a program this process starts with some of its own
// descriptors handed over at fixed numbers, and watches through a process
// descriptor (pidfd): readable the moment the program ends, so a thread that
// waits for several things learns it at once. The program is started with
// posix_spawn (no copy of this process's memory, safe with many threads);
// it runs with an empty signal mask and the default action of every signal
// this process catches.
//
// Threads: one owner. Whatever still runs when the owner goes is killed
// (SIGKILL) and reaped, so no child is ever left behind.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "Platform/PosixCalls.h"
#include "Platform/T_Status.h"

class TLaunchedProcess {
 public:
  TLaunchedProcess() = default;
  ~TLaunchedProcess();
  TLaunchedProcess(const TLaunchedProcess&) = delete;
  TLaunchedProcess& operator=(const TLaunchedProcess&) = delete;

  // Starts the program at `path` with `arguments` (the first is the name it
  // is shown under) and `environment`
  // ("NAME=value" entries). Each pair of `handOver` is (descriptor here,
  // number in the child); every other descriptor of this process stays
  // behind (they are all close-on-exec). Precondition: nothing started yet.
  TStatus Launch(const std::string& path, const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                 const std::vector<std::pair<int, int>>& handOver);

  pid_t Id() const { return Pid; }
  // Readable once the program has ended; -1 when the kernel has no process
  // descriptors (the owner then polls Ended).
  int EndDescriptor() const { return PidFile.Get(); }
  // True once the program has ended (and it is reaped); `waitStatus` then
  // holds its wait status. Does not wait.
  bool Ended(int& waitStatus);
  // Sends `number` to the program while it has not been reaped.
  void Signal(int number);
  // Kills the program (SIGKILL) and waits until it is reaped; its wait
  // status.
  int Kill();

  // This process's id, as a started program is told its parent's.
  static pid_t OwnId();

  // "exit status 3", "killed by SIGKILL": how a program ended, from its wait
  // status.
  static std::string DescribeEnding(int waitStatus);

 private:
  pid_t Pid = -1;
  TFileDescriptor PidFile;
  bool Reaped = false;
  int FinalStatus = 0;
};
