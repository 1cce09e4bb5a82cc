// SPDX-License-Identifier: Apache-2.0
// TSessionEntry: a session's entry in the agent's session list: added at
// construction, removed however the session ends. The last session to end
// hands the memory freed meanwhile back to the system, the blocks kept for
// reuse too.
#pragma once

#include <string>

#include "Agent/T_SessionList.h"
#include "Common/T_BlockCache.h"
#include "Platform/I_System.h"

class TSessionEntry {
 public:
  // `sessions`, `system` and `address` are borrowed for the entry's life.
  TSessionEntry(TSessionList& sessions, ISystem& system, const std::string& address)
      : Sessions(sessions), System(system), Address(address) {
    Sessions.AddSession(Address);
  }
  ~TSessionEntry() {
    if (Sessions.RemoveSession(Address)) {
      TBlockCache::Process().ReleaseAll();
      System.ReleaseFreeMemory();
    }
  }
  TSessionEntry(const TSessionEntry&) = delete;
  TSessionEntry& operator=(const TSessionEntry&) = delete;

 private:
  TSessionList& Sessions;      // borrowed
  ISystem& System;             // borrowed
  const std::string& Address;  // borrowed
};
