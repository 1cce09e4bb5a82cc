// SPDX-License-Identifier: Apache-2.0
// TPoolTaskItem: one task of a session, as the user sent it. Owned by the
// session's queue, then by the pool thread that runs it (its CurrentItem)
// until that thread frees it; the thread knows its session. A plain record,
// moved, never copied.
#pragma once

#include <cstdint>
#include <string>

#include "Common/T_StreamRef.h"

struct TPoolTaskItem {
  uint32_t TaskId = 0;
  std::string LibraryFiles;  // as received, still argument-encoded
  std::string ProcedureName;
  TStreamRef Input;  // the task's input; the item is its only holder
};
