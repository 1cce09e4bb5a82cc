// SPDX-License-Identifier: Apache-2.0
// TInstanceLock: one agent per user. An exclusive, non-blocking flock on
// kelvraagent.lock in $XDG_RUNTIME_DIR (else in $XDG_DATA_HOME/kelvra/, made
// with its parents if missing, without following a link in its place),
// opened with O_NOFOLLOW and O_CLOEXEC and held for the life of the process. Taken once by the process entry, before any thread starts.
#pragma once

#include <string>

#include "Platform/PosixCalls.h"

class TInstanceLock {
 public:
  // Tries to take the lock for the user whose folders are `runtimeDir`
  // (may be empty) and `dataHome`. Ok when taken; HeldElsewhere(failure)
  // when another process holds it; any other failure says why.
  TStatus Take(const std::string& runtimeDir, const std::string& dataHome);

  // True for the failure of Take that means another process holds the lock.
  static bool HeldElsewhere(const TStatus& taken);

  // The file the lock is on (after Take).
  const std::string& Path() const { return LockPath; }

 private:
  std::string LockPath;
  TFileDescriptor Fd;  // held open (and locked) for the life of the process
};
