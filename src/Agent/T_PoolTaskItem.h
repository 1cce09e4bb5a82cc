// TPoolTaskItem: one task handed to a session's pool. Owned by the pool
// queue, then by the pool thread that runs it (its CurrentItem) until that
// thread frees it. The session's objects it names are borrowed: the session
// outlives every item of its pool. A plain record, moved, never copied.
#pragma once

#include <cstdint>
#include <string>

#include "Agent/I_TaskReport.h"
#include "Common/T_StreamRef.h"

class TAgentPeer;
class TFileCache;

struct TPoolTaskItem {
  std::string SessionKey;          // the session's user address
  void* SessionIdentity = nullptr;  // the session's identity (ISession); compared and passed to task code
  uint32_t TaskId = 0;
  std::string LibraryFiles;  // as received, still argument-encoded
  std::string ProcedureName;
  TStreamRef Input;                  // the task's input; the item is its only holder
  TFileCache* FileCache = nullptr;   // borrowed: the session's file cache
  TAgentPeer* Peer = nullptr;        // borrowed: the session's connection to the user
  ITaskReport* ReportTo = nullptr;   // borrowed: the session's worker
};
