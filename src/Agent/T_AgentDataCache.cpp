#include "Agent/T_AgentDataCache.h"

#include <algorithm>

#include "Agent/T_Agent.h"
#include "Agent/T_AgentGenericStreamWrapper.h"
#include "Agent/T_AgentPeer.h"
#include "Common/WireFraming.h"
#include "Common/kelvracommon.h"

TAgentDataCache::TAgentDataCache(TAgent& agent, TAgentPeer& peer) : Agent(agent), Peer(peer) {}

TAgentDataCache::~TAgentDataCache() { FreeData(std::nullopt); }

int32_t TAgentDataCache::GetData(const std::string& identifier, IGenericStream*& view) {
  TMutexLock guard(Lock);
  for (const TEntry& entry : Entries) {
    if (entry.Key == identifier) {
      Agent.DebugWrite("DATACACHE: Data reused from cache.");
      view = TAgentGenericStreamWrapper::Create(entry.Block.Get());
      return 0;
    }
  }
  Agent.DebugWrite("DATACACHE: Requesting data from user.");
  TStreamRef block = Peer.RequestData(identifier);
  if (!block) {
    Agent.DebugWrite("DATA: Request for file data failed - NULL.");
    return 1;
  }
  // A failure from here on releases the fetched block and caches nothing.
  if (IsCompressedStream(block.Get())) DecompressStream(block.Get());
  RequireSingleHolder(block.Get(), "Agent/T_AgentDataCache", 137);
  Entries.push_back(TEntry{identifier, std::move(block)});
  view = TAgentGenericStreamWrapper::Create(Entries.back().Block.Get());
  return 0;
}

void TAgentDataCache::FreeData(const std::optional<std::string>& identifier) {
  TMutexLock guard(Lock);
  std::erase_if(Entries, [&](const TEntry& entry) { return !identifier || entry.Key == *identifier; });
}
