// TAgentDataCache: a session's data blocks, fetched from the user once
// (GET_DATA through the session's peer), inflated once when they arrive
// compressed, and handed to every task that asks as a read-only view of the
// same bytes. A view keeps its block alive, so dropping an entry never
// invalidates a view a task still reads. Nothing is evicted: a block stays
// until the task library drops it or the session ends.
//
// Threads: GetData and FreeData on pool threads, inside a task's calls of
// the agent interface; the cache lock is held for the whole of a call,
// across the request to the user. Lock order: cache lock, then peer lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Common/T_StreamRef.h"
#include "Platform/T_Mutex.h"

class TAgent;
class TAgentPeer;

class TAgentDataCache {
 public:
  // `agent` and `peer` are borrowed for the cache's life.
  TAgentDataCache(TAgent& agent, TAgentPeer& peer);
  // Drops every block; views handed out stay valid.
  ~TAgentDataCache();
  TAgentDataCache(const TAgentDataCache&) = delete;
  TAgentDataCache& operator=(const TAgentDataCache&) = delete;

  // 0: `view` receives a new read-only view at position 0 whose one
  // reference is the caller's; 1: the block is not available and `view` is
  // left as it was. Identifiers compare byte for byte. Raises when a
  // compressed block does not inflate (nothing is cached then).
  int32_t GetData(const std::string& identifier, IGenericStream*& view) EXCLUDES(Lock);

  // Drops the blocks with this identifier, or every block without one.
  void FreeData(const std::optional<std::string>& identifier) EXCLUDES(Lock);

 private:
  struct TEntry {
    std::string Key;
    TStreamRef Block;  // the cache's one reference; the bytes never change
  };

  // Constant after construction.
  TAgent& Agent;     // borrowed
  TAgentPeer& Peer;  // borrowed

  TMutex Lock;
  std::vector<TEntry> Entries GUARDED_BY(Lock);
};
