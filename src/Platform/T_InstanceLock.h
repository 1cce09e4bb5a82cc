// TInstanceLock: one agent per user. An exclusive, non-blocking flock on
// kelvraagent.lock in $XDG_RUNTIME_DIR (else in $XDG_DATA_HOME/kelvra/, made
// with its parents if missing, without following a link in its place),
// opened with O_NOFOLLOW and O_CLOEXEC and held for the life of the process. Taken once by the process entry, before any thread starts.
#pragma once

#include <string>

#include "Platform/PosixCalls.h"

class TInstanceLock {
 public:
  enum TResult { lrTaken, lrHeldElsewhere, lrFailed };

  // Tries to take the lock for the user whose folders are `runtimeDir`
  // (may be empty) and `dataHome`. On lrFailed, `error` says why.
  TResult Take(const std::string& runtimeDir, const std::string& dataHome, std::string& error);

  // The file the lock is on (after Take).
  const std::string& Path() const { return LockPath; }

 private:
  std::string LockPath;
  TFileDescriptor Fd;  // held open (and locked) for the life of the process
};
