// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_WakeDescriptor.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

TWakeDescriptor::TWakeDescriptor() : Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!Fd.Valid()) throw std::runtime_error("Unable to create a wake descriptor: " + ErrnoText(errno));
}

void TWakeDescriptor::Signal() {
  uint64_t one = 1;
  // Only fails when the counter is full, and then it is readable anyway.
  (void)!::write(Fd.Get(), &one, sizeof one);
}

void TWakeDescriptor::Drain() {
  uint64_t count = 0;
  (void)!::read(Fd.Get(), &count, sizeof count);
}

bool WaitReadable(std::initializer_list<int> fds, int timeoutMs) {
  std::vector<pollfd> polled;
  for (int fd : fds) polled.push_back(pollfd{fd, POLLIN, 0});
  return ::poll(polled.data(), polled.size(), timeoutMs < 0 ? -1 : timeoutMs) > 0;
}
