// TSemaphore: a counting semaphore with an initial and a maximum count, both
// fixed at creation. Counts are added by Release and taken only by a wait on
// Handle(), usually together with an event (WaitForFirst). Any thread may
// call any method; the owner keeps it alive past every wait on it.
#pragma once

#include "Platform/T_PlatformSemaphore.h"

class TSemaphore {
 public:
  // Precondition: 0 <= initialCount <= maximumCount, maximumCount > 0.
  TSemaphore(int initialCount, int maximumCount) : Semaphore(initialCount, maximumCount) {}
  TSemaphore(const TSemaphore&) = delete;
  TSemaphore& operator=(const TSemaphore&) = delete;

  // Adds `count`. An addition that would pass the maximum is refused and
  // changes nothing. The count before the call, or -1 when refused.
  int Release(int count = 1);

  // The object to wait on; a wait that ends on it takes one count.
  TWaitable& Handle() { return Semaphore; }

  // The current count; for tests and diagnostics (it may change at once).
  int Count() { return Semaphore.Count(); }

 private:
  TPlatformSemaphore Semaphore;
};
