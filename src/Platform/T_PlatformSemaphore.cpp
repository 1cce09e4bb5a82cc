// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_PlatformSemaphore.h"

#include <algorithm>

TPlatformSemaphore::TPlatformSemaphore(int initialCount, int maximumCount)
    : MaximumCount(std::max(maximumCount, 1)), CurrentCount(std::clamp(initialCount, 0, MaximumCount)) {}

bool TPlatformSemaphore::Release(int count, int* previousCount) {
  TMutexLock guard(Mutex);
  if (count <= 0 || count > MaximumCount - CurrentCount) return false;
  if (previousCount != nullptr) *previousCount = CurrentCount;
  CurrentCount += count;
  WakeWaiters();
  return true;
}

int TPlatformSemaphore::Count() {
  TMutexLock guard(Mutex);
  return CurrentCount;
}

bool TPlatformSemaphore::TryConsume() {
  if (CurrentCount == 0) return false;
  --CurrentCount;
  return true;
}
