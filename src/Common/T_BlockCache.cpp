// SPDX-License-Identifier: Apache-2.0
#include "Common/T_BlockCache.h"

#include <cstdlib>

TBlockCache& TBlockCache::Process() {
  // Never destroyed: streams may be freed by threads that outlive main.
  static TBlockCache* cache = new TBlockCache();
  return *cache;
}

void* TBlockCache::Take(size_t bytes) {
  if (bytes >= kSmallestBlock) {
    TMutexLock guard(Lock);
    // The newest first: its memory is the warmest.
    for (size_t i = Kept.size(); i-- > 0;) {
      if (Kept[i].Bytes != bytes) continue;
      void* memory = Kept[i].Memory;
      Kept.erase(Kept.begin() + static_cast<std::ptrdiff_t>(i));
      KeptBytes -= bytes;
      return memory;
    }
  }
  return std::malloc(bytes);
}

void TBlockCache::Give(void* block, size_t bytes) {
  if (block == nullptr) return;
  if (bytes < kSmallestBlock || bytes > kMaxBytes) {
    std::free(block);
    return;
  }
  std::vector<void*> dropped;
  {
    TMutexLock guard(Lock);
    while (!Kept.empty() && (Kept.size() >= kMaxBlocks || KeptBytes + bytes > kMaxBytes)) {
      dropped.push_back(Kept.front().Memory);
      KeptBytes -= Kept.front().Bytes;
      Kept.erase(Kept.begin());
    }
    Kept.push_back(TBlock{block, bytes});
    KeptBytes += bytes;
  }
  for (void* memory : dropped) std::free(memory);
}

void TBlockCache::ReleaseAll() {
  std::vector<TBlock> kept;
  {
    TMutexLock guard(Lock);
    kept.swap(Kept);
    KeptBytes = 0;
  }
  for (const TBlock& block : kept) std::free(block.Memory);
}

size_t TBlockCache::BlocksKept() {
  TMutexLock guard(Lock);
  return Kept.size();
}

size_t TBlockCache::BytesKept() {
  TMutexLock guard(Lock);
  return KeptBytes;
}
