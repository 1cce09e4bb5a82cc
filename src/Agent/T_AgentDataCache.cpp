// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_AgentDataCache.h"

#include <algorithm>

#include "Agent/T_AgentContext.h"
#include "Agent/T_AgentGenericStreamWrapper.h"
#include "Agent/T_AgentPeer.h"
#include "Common/CompressedStream.h"
#include "Common/kelvracommon.h"

namespace {

uint64_t SizeOf(const TStreamRef& block) { return static_cast<uint64_t>(block.GetSize()); }

// True when a task holds a view of the entry's block (each view holds a
// reference of its own).
bool Viewed(const TStreamRef& block) { return !IsSoleHolder(block.Get()); }

}  // namespace

TAgentDataCache::TAgentDataCache(const TAgentContext& context, TAgentPeer& peer, uint64_t capacity)
    : Context(context), Peer(peer), Capacity(capacity) {}

TAgentDataCache::~TAgentDataCache() { FreeData(std::nullopt); }

TStatus TAgentDataCache::GetData(const std::string& identifier, IGenericStream*& view) {
  TMutexLock guard(Lock);
  auto found =
      std::find_if(Entries.begin(), Entries.end(), [&](const TEntry& entry) { return entry.Key == identifier; });
  if (found != Entries.end()) {
    Context.DebugWrite("DATACACHE: Data reused from cache.");
    std::rotate(found, found + 1, Entries.end());  // now the most recently used
    view = TAgentGenericStreamWrapper::Create(Entries.back().Block.Get());
    return {};
  }
  Context.DebugWrite("DATACACHE: Requesting data from user.");
  TStreamRef block = Peer.RequestData(identifier);
  if (!block) {
    Context.DebugWrite("DATA: Request for file data failed - NULL.");
    return {};
  }
  // A failure from here on releases the fetched block and caches nothing.
  if (IsCompressedStream(block.Get()))
    if (TStatus inflated = DecompressStream(block.Get(), static_cast<int32_t>(std::min<uint64_t>(Capacity, INT32_MAX)));
        !inflated)
      return inflated;
  if (TStatus held = CheckSingleHolder(block.Get(), "Agent/T_AgentDataCache", 137); !held) return held;
  if (!MakeRoom(SizeOf(block))) {
    // The view holds the only reference: the block goes when the task lets go.
    Context.DebugWrite("DATACACHE: Data of %d bytes does not fit in the cache, not kept.", block.GetSize());
    view = TAgentGenericStreamWrapper::Create(block.Get());
    return {};
  }
  Entries.push_back(TEntry{identifier, std::move(block)});
  view = TAgentGenericStreamWrapper::Create(Entries.back().Block.Get());
  return {};
}

void TAgentDataCache::FreeData(const std::optional<std::string>& identifier) {
  TMutexLock guard(Lock);
  std::erase_if(Entries, [&](const TEntry& entry) { return !identifier || entry.Key == *identifier; });
}

bool TAgentDataCache::MakeRoom(uint64_t size) {
  uint64_t held = 0;
  uint64_t viewed = 0;
  for (const TEntry& entry : Entries) {
    held += SizeOf(entry.Block);
    if (Viewed(entry.Block)) viewed += SizeOf(entry.Block);
  }
  if (size > Capacity || viewed > Capacity - size) return false;
  for (auto entry = Entries.begin(); held > Capacity - size;) {
    if (Viewed(entry->Block)) {
      ++entry;
      continue;
    }
    Context.DebugWrite("DATACACHE: Dropping least recently used data of %d bytes.", entry->Block.GetSize());
    held -= SizeOf(entry->Block);
    entry = Entries.erase(entry);
  }
  return true;
}
