// SPDX-License-Identifier: Apache-2.0
#include "Platform/PosixCalls.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

std::string ErrnoText(int error) {
  char buffer[256];
  // GNU strerror_r answers a pointer that may or may not be `buffer`.
  const char* text = ::strerror_r(error, buffer, sizeof buffer);
  return text != nullptr ? text : "Unknown error " + std::to_string(error);
}

bool WriteAll(int fd, const void* data, size_t size) {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t written = RetryOnInterrupt([&] { return ::write(fd, next, size); });
    if (written < 0) return false;
    next += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

TStatus MakeFolders(const std::string& base, const std::string& own) {
  if (base.empty()) return TStatus::Failure("cannot create " + own, "no folder to make it in");
  struct TStep {
    std::string Name;
    bool Own;
  };
  std::vector<TStep> steps;
  auto split = [&steps](const std::string& path, bool isOwn) {
    for (size_t start = 0; start < path.size();) {
      size_t end = path.find('/', start);
      if (end == std::string::npos) end = path.size();
      if (end > start) steps.push_back({path.substr(start, end - start), isOwn});
      start = end + 1;
    }
  };
  split(base, false);
  split(own, true);

  // Each folder is made and entered relative to the one before it, so the
  // folder checked is the folder used. O_PATH needs only the right to pass
  // through a folder, not to list it.
  std::string walked = base.front() == '/' ? "/" : "";
  TFileDescriptor folder(
      RetryOnInterrupt([&] { return ::open(walked.empty() ? "." : "/", O_PATH | O_DIRECTORY | O_CLOEXEC); }));
  for (const TStep& step : steps) {
    if (!walked.empty() && walked.back() != '/') walked += '/';
    walked += step.Name;
    const int madeError = ::mkdirat(folder.Get(), step.Name.c_str(), 0700) == 0 ? 0 : errno;
    const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC | (step.Own ? O_NOFOLLOW : 0);
    TFileDescriptor next(RetryOnInterrupt([&] { return ::openat(folder.Get(), step.Name.c_str(), flags); }));
    if (!next.Valid()) {
      const int failure = madeError != 0 && madeError != EEXIST ? madeError : errno;
      struct stat info {};
      const bool link = step.Own && ::fstatat(folder.Get(), step.Name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISLNK(info.st_mode);
      if (link) return TStatus::Failure("cannot create " + walked, "a symbolic link is in its place");
      return TStatus::FromErrno(failure, "cannot create " + walked);
    }
    folder = std::move(next);
  }
  return {};
}

TFileDescriptor& TFileDescriptor::operator=(TFileDescriptor&& other) noexcept {
  if (this != &other) {
    Close();
    Fd = other.Release();
  }
  return *this;
}

bool TFileDescriptor::Close() {
  if (Fd < 0) return true;
  // close(2) is not retried on EINTR: on Linux the descriptor is gone anyway.
  int result = ::close(Fd);
  Fd = -1;
  return result == 0;
}
