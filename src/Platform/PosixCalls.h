// SPDX-License-Identifier: Apache-2.0
// Small helpers shared by the Linux side of the platform: EINTR retried in
// one place, errno turned into text in one place, and an owned descriptor
// that closes itself. Used only inside src/Platform.
#pragma once

#include <cerrno>
#include <cstddef>
#include <string>

#include "Platform/T_Status.h"

// Repeats a system call while it fails with EINTR.
template <typename Call>
auto RetryOnInterrupt(Call call) {
  for (;;) {
    auto result = call();
    if (!(result == -1 && errno == EINTR)) return result;
  }
}

// strerror text of an errno value, thread-safe.
std::string ErrnoText(int error);

// Makes the folder `base` + "/" + `own` with every folder missing on the
// way, each new one with mode 0700. The folders of `base` are the user's:
// links among them are followed. Those of `own` (relative, "/"-separated)
// are the agent's: each is entered without following links, so a link in
// the place of one fails. A failure's text is "cannot create <folder>:
// <reason>".
TStatus MakeFolders(const std::string& base, const std::string& own);

// Writes every byte, retrying short writes and EINTR. False on failure
// (errno tells why).
bool WriteAll(int fd, const void* data, size_t size);

// An owned file descriptor; closes on destruction. Movable, not copyable.
class TFileDescriptor {
 public:
  TFileDescriptor() = default;
  explicit TFileDescriptor(int fd) : Fd(fd) {}
  TFileDescriptor(TFileDescriptor&& other) noexcept : Fd(other.Release()) {}
  TFileDescriptor& operator=(TFileDescriptor&& other) noexcept;
  TFileDescriptor(const TFileDescriptor&) = delete;
  TFileDescriptor& operator=(const TFileDescriptor&) = delete;
  ~TFileDescriptor() { Close(); }

  bool Valid() const { return Fd >= 0; }
  int Get() const { return Fd; }
  int Release() {
    int fd = Fd;
    Fd = -1;
    return fd;
  }
  // Closes now; false if close(2) reported an error (errno tells why).
  bool Close();

 private:
  int Fd = -1;
};
