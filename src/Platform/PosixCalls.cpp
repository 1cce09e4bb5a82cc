#include "Platform/PosixCalls.h"

#include <unistd.h>

#include <cstring>

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
