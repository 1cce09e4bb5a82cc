// SPDX-License-Identifier: Apache-2.0
// TBlockCache: the memory of large stream blocks (task inputs, outputs and
// data blocks of 64 KiB and more), kept for reuse while the agent works. A
// busy session frees and allocates blocks of the same sizes over and over:
// taken from here they are warm, with no mapping, page faults or zeroing of
// fresh pages for each one. Bounded in count and bytes (the oldest kept
// block goes first); ReleaseAll hands everything back, for when the agent
// goes idle. One cache per process (Process()); any thread, under its own
// lock, a leaf.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Platform/T_Mutex.h"

class TBlockCache {
 public:
  // Blocks smaller than this are not kept: the allocator serves them well.
  static constexpr size_t kSmallestBlock = 64 * 1024;
  static constexpr size_t kMaxBlocks = 128;
  static constexpr size_t kMaxBytes = 32u << 20;

  static TBlockCache& Process();

  TBlockCache() = default;
  ~TBlockCache() { ReleaseAll(); }
  TBlockCache(const TBlockCache&) = delete;
  TBlockCache& operator=(const TBlockCache&) = delete;

  // A block of exactly `bytes` (kept, or new from the allocator); null when
  // there is no memory. Free it with Give, or with std::free.
  void* Take(size_t bytes) EXCLUDES(Lock);
  // Takes back a block of `bytes` that came from Take (or from malloc with
  // that size): kept when large enough and there is room, else freed.
  void Give(void* block, size_t bytes) EXCLUDES(Lock);
  // Frees every kept block.
  void ReleaseAll() EXCLUDES(Lock);

  // Blocks and bytes kept now; for tests.
  size_t BlocksKept() EXCLUDES(Lock);
  size_t BytesKept() EXCLUDES(Lock);

 private:
  struct TBlock {
    void* Memory;
    size_t Bytes;
  };
  TMutex Lock;
  std::vector<TBlock> Kept GUARDED_BY(Lock);  // oldest first
  size_t KeptBytes GUARDED_BY(Lock) = 0;
};
