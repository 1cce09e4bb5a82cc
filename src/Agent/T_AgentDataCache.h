// SPDX-License-Identifier: Apache-2.0
// TAgentDataCache: a session's data blocks, fetched from the user once
// (GET_DATA through the session's peer), inflated once when they arrive
// compressed, and handed to every task that asks as a read-only view of the
// same bytes. A view keeps its block alive, so dropping an entry never
// invalidates a view a task still reads.
//
// Bound: the cached blocks hold at most `capacity` bytes. To make room for a
// new block, blocks no task holds a view of are dropped, least recently used
// first; a block that cannot fit even then is handed to its task but not
// kept. A compressed block may not inflate beyond `capacity` either.
//
// Threads: GetData and FreeData on pool threads, inside a task's calls of
// the agent interface; the cache lock is held for the whole of a call,
// across the request to the user. Lock order (Agent/LockOrder.h): cache
// lock, then peer lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Common/T_StreamRef.h"
#include "Platform/T_Mutex.h"
#include "Platform/T_Status.h"

class TAgentContext;
class TAgentPeer;

class TAgentDataCache {
 public:
  // `context` and `peer` are borrowed for the cache's life; `capacity` is the
  // bound in bytes.
  TAgentDataCache(const TAgentContext& context, TAgentPeer& peer, uint64_t capacity);
  // Drops every block; views handed out stay valid.
  ~TAgentDataCache();
  TAgentDataCache(const TAgentDataCache&) = delete;
  TAgentDataCache& operator=(const TAgentDataCache&) = delete;

  // Ok: `view` receives a new read-only view at position 0 whose one
  // reference is the caller's (also for a block too large to keep), or, when
  // the block is not available, is left as it was. Identifiers compare byte
  // for byte. Fails when a compressed block does not inflate or would
  // inflate beyond the bound (DecompressStream's failure; nothing is cached
  // and `view` is left as it was).
  TStatus GetData(const std::string& identifier, IGenericStream*& view) EXCLUDES(Lock);

  // Drops the blocks with this identifier, or every block without one.
  void FreeData(const std::optional<std::string>& identifier) EXCLUDES(Lock);

 private:
  struct TEntry {
    std::string Key;
    TStreamRef Block;  // the cache's one reference; the bytes never change
  };

  // True when the cache now has room for `size` more bytes, after dropping
  // unviewed blocks least recently used first; false (nothing dropped) when
  // it cannot have.
  bool MakeRoom(uint64_t size) REQUIRES(Lock);

  // Constant after construction.
  const TAgentContext& Context;  // borrowed
  TAgentPeer& Peer;  // borrowed
  const uint64_t Capacity;

  TMutex Lock;
  // Least recently used first: a hit moves its entry to the end.
  std::vector<TEntry> Entries GUARDED_BY(Lock);
};
