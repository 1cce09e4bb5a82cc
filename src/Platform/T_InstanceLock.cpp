#include "Platform/T_InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

TInstanceLock::TResult TInstanceLock::Take(const std::string& runtimeDir, const std::string& dataHome,
                                           std::string& error) {
  std::string folder = runtimeDir;
  if (folder.empty()) {
    if (dataHome.empty()) {
      error = "no folder for the instance lock (neither XDG_RUNTIME_DIR nor a data folder)";
      return lrFailed;
    }
    folder = dataHome + "/kelvra";
    if (!MakeFolders(dataHome, "kelvra", error)) return lrFailed;
  }
  LockPath = folder + "/kelvraagent.lock";
  Fd = TFileDescriptor(RetryOnInterrupt(
      [&] { return ::open(LockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600); }));
  if (!Fd.Valid()) {
    error = "cannot open " + LockPath + ": " + ErrnoText(errno);
    return lrFailed;
  }
  if (RetryOnInterrupt([&] { return ::flock(Fd.Get(), LOCK_EX | LOCK_NB); }) == 0) return lrTaken;
  if (errno == EWOULDBLOCK) return lrHeldElsewhere;
  error = "cannot lock " + LockPath + ": " + ErrnoText(errno);
  return lrFailed;
}
