// SPDX-License-Identifier: Apache-2.0
// TWakeDescriptor: a descriptor that a poll() can wait on and any thread can
// make readable (an eventfd). Signal() is safe from any thread; Drain() and
// the waiting belong to the one thread that owns the loop.
#pragma once

#include <initializer_list>

#include "Platform/PosixCalls.h"

class TWakeDescriptor {
 public:
  TWakeDescriptor();  // throws std::runtime_error when none can be made
  TWakeDescriptor(const TWakeDescriptor&) = delete;
  TWakeDescriptor& operator=(const TWakeDescriptor&) = delete;

  void Signal();
  void Drain();
  int Get() const { return Fd.Get(); }

 private:
  TFileDescriptor Fd;
};

// Waits until one of `fds` is readable or `timeoutMs` has passed (negative:
// no limit). True when one is readable. EINTR counts as a wake-up.
bool WaitReadable(std::initializer_list<int> fds, int timeoutMs);
