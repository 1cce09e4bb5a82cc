// SPDX-License-Identifier: Apache-2.0
// TPlatformSemaphore: a counting semaphore with a fixed maximum. Release
// adds to the count, never beyond the maximum; a wait that ends on it takes
// one from the count. Any thread may call any method.
#pragma once

#include "Platform/T_Waitable.h"

class TPlatformSemaphore : public TWaitable {
 public:
  // Precondition: 0 <= initialCount <= maximumCount, maximumCount > 0.
  TPlatformSemaphore(int initialCount, int maximumCount);

  // Adds `count` to the count. False, and nothing changes, when `count` is
  // not positive or the count would exceed the maximum. `previousCount`,
  // when given, receives the count before the call (on success only).
  bool Release(int count = 1, int* previousCount = nullptr) EXCLUDES(Mutex);

  // The current count; for tests and diagnostics (it may change at once).
  int Count() EXCLUDES(Mutex);

  int Maximum() const { return MaximumCount; }

 protected:
  bool TryConsume() override REQUIRES(Mutex);

 private:
  // Constant after construction.
  const int MaximumCount;

  int CurrentCount GUARDED_BY(Mutex);
};
