// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_Event.h"

void TEvent::Set() {
  TMutexLock guard(Mutex);
  Signalled = true;
  WakeWaiters();
}

void TEvent::Reset() {
  TMutexLock guard(Mutex);
  Signalled = false;
}

bool TEvent::IsSet() {
  TMutexLock guard(Mutex);
  return Signalled;
}

bool TEvent::TryConsume() {
  if (!Signalled) return false;
  if (!ManualReset) Signalled = false;
  return true;
}
