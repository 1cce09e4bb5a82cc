// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

TStatus TInstanceLock::Take(const std::string& runtimeDir, const std::string& dataHome) {
  std::string folder = runtimeDir;
  if (folder.empty()) {
    if (dataHome.empty())
      return TStatus::Failure("", "no folder for the instance lock (neither XDG_RUNTIME_DIR nor a data folder)");
    folder = dataHome + "/kelvra";
    if (TStatus made = MakeFolders(dataHome, "kelvra"); !made) return made;
  }
  LockPath = folder + "/kelvraagent.lock";
  Fd = TFileDescriptor(RetryOnInterrupt(
      [&] { return ::open(LockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600); }));
  if (!Fd.Valid()) return TStatus::FromErrno(errno, "cannot open " + LockPath);
  if (RetryOnInterrupt([&] { return ::flock(Fd.Get(), LOCK_EX | LOCK_NB); }) == 0) return {};
  return TStatus::FromErrno(errno, "cannot lock " + LockPath);
}

bool TInstanceLock::HeldElsewhere(const TStatus& taken) { return !taken && taken.Code() == EWOULDBLOCK; }
