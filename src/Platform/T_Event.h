// SPDX-License-Identifier: Apache-2.0
// TEvent: an auto-reset or manual-reset event. Set signals it; a wait that
// ends on an auto-reset event resets it (one waiter per Set), while a
// manual-reset event stays set, releasing every waiter, until Reset. Any
// thread may call any method.
#pragma once

#include "Platform/T_Waitable.h"

class TEvent : public TWaitable {
 public:
  TEvent(bool manualReset, bool initiallySet) : ManualReset(manualReset), Signalled(initiallySet) {}

  void Set() EXCLUDES(Mutex);
  void Reset() EXCLUDES(Mutex);

  // True while the event is set; consumes nothing.
  bool IsSet() EXCLUDES(Mutex);

 protected:
  bool TryConsume() override REQUIRES(Mutex);

 private:
  // Constant after construction.
  const bool ManualReset;

  bool Signalled GUARDED_BY(Mutex);
};
