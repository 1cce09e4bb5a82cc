// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_LinuxFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>

#include "Platform/PosixCalls.h"

TStatus TLinuxFileSystem::ReadFile(const std::string& path, std::string& content) {
  TFileDescriptor fd(RetryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!fd.Valid()) return TStatus::FromErrno(errno, "cannot read " + path);
  std::string data;
  char buffer[16384];
  for (;;) {
    ssize_t got = RetryOnInterrupt([&] { return ::read(fd.Get(), buffer, sizeof buffer); });
    if (got < 0) return TStatus::FromErrno(errno, "cannot read " + path);
    if (got == 0) break;
    data.append(buffer, static_cast<size_t>(got));
  }
  content = std::move(data);
  return {};
}

namespace {

// The file a write should replace: the target of a symbolic link, so that a
// packaged install that links its settings file keeps the link.
std::string ResolveTarget(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) != nullptr) return resolved;
  return path;
}

// The new file as `fill` sees it: each piece is written whole, and the
// first failure (its errno) is kept and ends the writing.
class TNewFile final : public IByteSink {
 public:
  TNewFile(int fd, const std::string& path) : Fd(fd), Path(path) {}
  TStatus Write(const void* bytes, size_t size) override {
    if (Failure == 0 && !WriteAll(Fd, bytes, size)) Failure = errno;
    return Failure == 0 ? TStatus() : TStatus::FromErrno(Failure, "cannot write " + Path);
  }
  int Failure = 0;

 private:
  const int Fd;
  const std::string& Path;
};

// Fills the new file `fd`, named `temporary`, through `fill`, gives it
// exactly `exactMode` when there is one, flushes it to the disk when
// `durable`, and renames it over `target`. On failure (an exception from
// `fill` too) removes it; the failure is "cannot write <path>", or the
// failure of `fill` itself.
TStatus FinishNewFile(TFileDescriptor& fd, const std::string& temporary, const std::string& target,
                      const std::function<TStatus(IByteSink&)>& fill, std::optional<mode_t> exactMode, bool durable,
                      const std::string& path) {
  struct TRemoveUnlessRenamed {
    const std::string& Temporary;
    bool Renamed = false;
    ~TRemoveUnlessRenamed() {
      if (!Renamed) ::unlink(Temporary.c_str());
    }
  } leftover{temporary};
  TNewFile file(fd.Get(), path);
  const TStatus filled = fill(file);
  if (!filled && file.Failure == 0) return filled;
  bool ok = file.Failure == 0 && (!exactMode || ::fchmod(fd.Get(), *exactMode) == 0) &&
            (!durable || ::fsync(fd.Get()) == 0);
  int saved = file.Failure != 0 ? file.Failure : errno;
  if (!fd.Close() && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && ::rename(temporary.c_str(), target.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  leftover.Renamed = ok;
  if (ok) return {};
  return TStatus::FromErrno(saved, "cannot write " + path);
}

// `content` as the whole of a new file.
std::function<TStatus(IByteSink&)> Content(std::string_view content) {
  return [content](IByteSink& file) { return file.Write(content.data(), content.size()); };
}

}  // namespace

TStatus TLinuxFileSystem::WriteFile(const std::string& path, std::string_view content) {
  const std::string target = ResolveTarget(path);
  const std::string temporary = target + ".tmp." + std::to_string(::getpid());

  mode_t mode = 0644;
  struct stat old {};
  if (::stat(target.c_str(), &old) == 0) mode = old.st_mode & 07777;

  TFileDescriptor fd(RetryOnInterrupt(
      [&] { return ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode); }));
  if (!fd.Valid()) return TStatus::FromErrno(errno, "cannot write " + path);
  return FinishNewFile(fd, temporary, target, Content(content), mode, true, path);
}

TStatus TLinuxFileSystem::ReplaceFile(const std::string& path, std::string_view content, unsigned mode) {
  return ReplaceFileFrom(path, mode, Content(content));
}

TStatus TLinuxFileSystem::ReplaceFileFrom(const std::string& path, unsigned mode,
                                          const std::function<TStatus(IByteSink& file)>& fill) {
  // A name of its own in the target's folder, short whatever the target's
  // name, and made exclusively: an existing file of that name is skipped,
  // never truncated.
  // Any thread takes the next number; only uniqueness counts, so relaxed.
  static std::atomic<unsigned> written{0};
  const std::string folder = path.substr(0, path.rfind('/') + 1);
  const std::string prefix = folder + ".kelvra-" + std::to_string(::getpid()) + "-";
  constexpr int kAttempts = 100;
  int failure = EEXIST;
  for (int attempt = 0; attempt < kAttempts && failure == EEXIST; ++attempt) {
    const std::string temporary = prefix + std::to_string(written.fetch_add(1, std::memory_order_relaxed)) + ".tmp";
    TFileDescriptor fd(RetryOnInterrupt([&] {
      return ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    }));
    if (fd.Valid()) return FinishNewFile(fd, temporary, path, fill, static_cast<mode_t>(mode), false, path);
    failure = errno;
  }
  return TStatus::FromErrno(failure, "cannot write " + path);
}

TStatus TLinuxFileSystem::RemoveFile(const std::string& path) {
  if (::unlink(path.c_str()) == 0) return {};
  return TStatus::FromErrno(errno, "cannot remove " + path);
}

bool TLinuxFileSystem::Exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

bool TLinuxFileSystem::DirectoryExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

TStatus TLinuxFileSystem::CreateDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) == 0) return {};
  return TStatus::FromErrno(errno, "cannot create " + path);
}

TStatus TLinuxFileSystem::RemoveDirectory(const std::string& path) {
  if (::rmdir(path.c_str()) == 0) return {};
  return TStatus::FromErrno(errno, "cannot remove " + path);
}

TStatus TLinuxFileSystem::CreateOwnFolders(const std::string& base, const std::string& own) {
  return MakeFolders(base, own);
}

namespace {

// Deletes every entry of the open folder `folder`, named `path` in errors; a
// folder inside is emptied the same way, then deleted. Entries are reached
// only relative to their own folder and opened with O_NOFOLLOW. A failure
// names the first thing that stayed.
TStatus RemoveEntries(TFileDescriptor folder, const std::string& path) {
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(folder.Get()), ::closedir);
  if (!listing) return TStatus::FromErrno(errno, "cannot list " + path);
  const int fd = folder.Release();  // now closed with the listing
  TStatus first;
  while (const struct dirent* entry = ::readdir(listing.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (::unlinkat(fd, name.c_str(), 0) == 0) continue;
    int failure = errno;
    if (failure == EISDIR) {
      TFileDescriptor inner(RetryOnInterrupt(
          [&] { return ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
      failure = errno;
      if (inner.Valid()) {
        TStatus emptied = RemoveEntries(std::move(inner), path + "/" + name);
        if (::unlinkat(fd, name.c_str(), AT_REMOVEDIR) == 0) continue;
        failure = errno;
        if (!emptied) {
          if (first.Ok()) first = std::move(emptied);
          continue;
        }
      }
    }
    if (first.Ok()) first = TStatus::FromErrno(failure, "cannot remove " + path + "/" + name);
  }
  return first;
}

}  // namespace

TStatus TLinuxFileSystem::RemoveFolderContents(const std::string& path) {
  TFileDescriptor folder(
      RetryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
  if (!folder.Valid()) return TStatus::FromErrno(errno, "cannot open " + path);
  return RemoveEntries(std::move(folder), path);
}

TStatus TLinuxFileSystem::ListFolder(const std::string& path, std::vector<std::string>& names) {
  std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(path.c_str()), ::closedir);
  if (!folder) return TStatus::FromErrno(errno, "cannot read " + path);
  names.clear();
  errno = 0;
  while (const dirent* entry = ::readdir(folder.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
    errno = 0;
  }
  if (errno != 0) return TStatus::FromErrno(errno, "cannot read " + path);
  return {};
}
