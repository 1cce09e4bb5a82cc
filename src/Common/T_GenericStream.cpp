// SPDX-License-Identifier: Apache-2.0
#include "Common/T_GenericStream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "Common/T_BlockCache.h"
#include "Common/kelvracommon.h"

namespace {

constexpr const char* kUnit = "Common/T_GenericStream";
constexpr const char* kOutOfMemory = "Out of memory while expanding memory stream";
constexpr const char* kRangeCheck = "Range check error";
constexpr int64_t kMaxSize = std::numeric_limits<int32_t>::max();
// The largest capacity growth asks for: the largest size, rounded up.
constexpr size_t kMaxCapacity = (size_t{kMaxSize} + TGenericStream::kCapacityStep - 1) /
                                TGenericStream::kCapacityStep * TGenericStream::kCapacityStep;

TStatus OutOfMemory() { return TStatus::Failure("", kOutOfMemory); }
TStatus RangeCheck() { return TStatus::Failure("", kRangeCheck); }

// `bytes` rounded up to a whole number of capacity steps.
size_t RoundedUp(size_t bytes) {
  constexpr size_t step = TGenericStream::kCapacityStep;
  return (bytes + step - 1) / step * step;
}

}  // namespace

TGenericStream::TGenericStream() : IGenericStream{TStreamTable<TGenericStream>::Get()} {}

TGenericStream::~TGenericStream() { TBlockCache::Process().Give(Memory, CapacityBytes); }

IGenericStream* TGenericStream::Create() { return new TGenericStream(); }

TGenericStream* TGenericStream::From(IGenericStream* stream) {
  if (stream == nullptr || stream->lpVtbl != TStreamTable<TGenericStream>::Get()) return nullptr;
  return static_cast<TGenericStream*>(stream);
}

int32_t TGenericStream::AddRef() { return RefCount.fetch_add(1, std::memory_order_relaxed) + 1; }

int32_t TGenericStream::Release() {
  int32_t count = RefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (count == 0) delete this;
  return count;
}

uint8_t* TGenericStream::GetCurPointer() const {
  // An address only: with no memory, or beyond the end, it is not for use.
  return reinterpret_cast<uint8_t*>(reinterpret_cast<uintptr_t>(Memory) + static_cast<uintptr_t>(Position));
}

TStatus TGenericStream::Write(const void* buffer, int32_t count) {
  if (count < 0) return {};
  int64_t end = int64_t{Position} + count;
  if (end > kMaxSize) return OutOfMemory();
  // The bytes may come from this stream's own memory (a stream appended to
  // itself): growth can move that memory, so find them again afterwards.
  const uint8_t* source = static_cast<const uint8_t*>(buffer);
  uintptr_t offset = reinterpret_cast<uintptr_t>(source) - reinterpret_cast<uintptr_t>(Memory);
  bool ownBytes = Memory != nullptr && offset < CapacityBytes;
  if (end > Size) {
    if (static_cast<size_t>(end) > CapacityBytes)
      if (TStatus grown = Grow(static_cast<size_t>(end)); !grown) return grown;
    Size = static_cast<int32_t>(end);
  }
  if (ownBytes) source = Memory + offset;
  if (count > 0) std::memmove(Memory + Position, source, static_cast<size_t>(count));
  Position = static_cast<int32_t>(end);
  return {};
}

int32_t TGenericStream::Read(void* buffer, int32_t count) {
  int32_t available = Size - Position;  // Position >= 0, so no overflow
  if (count <= 0 || available <= 0) return 0;
  int32_t taken = count < available ? count : available;
  std::memmove(buffer, Memory + Position, static_cast<size_t>(taken));
  Position += taken;
  return taken;
}

TStatus TGenericStream::SetPos(int32_t position) {
  if (position < 0) return RangeCheck();
  Position = position;
  return {};
}

void TGenericStream::Clear() {
  TBlockCache::Process().Give(Memory, CapacityBytes);
  Memory = nullptr;
  CapacityBytes = 0;
  Size = 0;
  Position = 0;
}

TStatus TGenericStream::Truncate(int32_t size) { return SetSize(size == -1 ? Position : size); }

void TGenericStream::ReservedOperation(int32_t) { RaiseAssertionFailure(kUnit, 195); }

TStatus TGenericStream::SetSize(int32_t size) {
  if (size < 0) return RangeCheck();
  if (TStatus held = SetCapacity(static_cast<size_t>(size)); !held) return held;
  Size = size;
  if (Position > size) Position = size;
  return {};
}

TStatus TGenericStream::Compact() {
  size_t capacity = RoundedUp(static_cast<size_t>(Size));
  uint8_t* fresh = nullptr;
  TBlockCache& cache = TBlockCache::Process();
  if (capacity > 0) {
    fresh = static_cast<uint8_t*>(cache.Take(capacity));
    if (fresh == nullptr) return OutOfMemory();
    if (Size > 0) std::memcpy(fresh, Memory, static_cast<size_t>(Size));
  }
  cache.Give(Memory, CapacityBytes);
  Memory = fresh;
  CapacityBytes = capacity;
  return {};
}

TStatus TGenericStream::Grow(size_t needed) {
  // Half again the memory held: a stream written in small pieces moves its
  // content a few dozen times on its way to 2 GB, not once per step. When
  // memory for the margin is not there, what the write needs may be.
  const size_t ahead = std::min(std::max(needed, CapacityBytes + CapacityBytes / 2), kMaxCapacity);
  if (ahead > needed && SetCapacity(ahead).Ok()) return {};
  return SetCapacity(needed);
}

TStatus TGenericStream::SetCapacity(size_t capacity) {
  if (capacity != static_cast<size_t>(Size)) capacity = RoundedUp(capacity);
  if (capacity == CapacityBytes) return {};
  TBlockCache& cache = TBlockCache::Process();
  if (capacity == 0) {
    cache.Give(Memory, CapacityBytes);
    Memory = nullptr;
  } else if (capacity < TBlockCache::kSmallestBlock && CapacityBytes < TBlockCache::kSmallestBlock) {
    void* moved = std::realloc(Memory, capacity);
    if (moved == nullptr) return OutOfMemory();
    Memory = static_cast<uint8_t*>(moved);
  } else {
    // Large blocks come from and go back to the cache; the content moves.
    auto* fresh = static_cast<uint8_t*>(cache.Take(capacity));
    if (fresh == nullptr) return OutOfMemory();
    const size_t kept = std::min({capacity, CapacityBytes, static_cast<size_t>(Size)});
    if (kept > 0) std::memcpy(fresh, Memory, kept);
    cache.Give(Memory, CapacityBytes);
    Memory = fresh;
  }
  CapacityBytes = capacity;
  return {};
}
