// SPDX-License-Identifier: Apache-2.0
// TGenericStream: a growable, writable memory stream that owns its memory;
// the agent's IGenericStream for received data blocks and task outputs.
// Reference-counted: Create answers the first reference, and the Release
// that brings the count to 0 frees the stream. AddRef and Release may come
// from any thread; every other call from one thread at a time (the holder).
// The C++ methods answer their failures as a TStatus; the table's slots
// remember them for the calling thread (TStreamTable).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "Common/T_StreamTable.h"
#include "I_GenericStream.h"
#include "Platform/T_Status.h"

class TGenericStream final : public IGenericStream {
 public:
  // Capacity is always 0 or a whole multiple of this, except after a
  // SetSize or Truncate to the current size, which fits it exactly. A Write
  // beyond the capacity grows it by half at least; SetSize, Truncate and
  // Compact fit it to the size they leave, rounded up.
  static constexpr int32_t kCapacityStep = 8192;

  // An empty stream (size 0, position 0, no memory) with a count of 1.
  static IGenericStream* Create();
  // The stream behind `stream` when it is a TGenericStream, else null.
  static TGenericStream* From(IGenericStream* stream);

  TGenericStream(const TGenericStream&) = delete;
  TGenericStream& operator=(const TGenericStream&) = delete;

  // The slots. Positions and sizes stay within 0..2^31-1: growth beyond
  // that, or without memory, fails with "Out of memory while expanding
  // memory stream"; a negative position or size with "Range check error".
  // A failure changes nothing. Write (all `count` bytes; none for a
  // negative count) and Read may use the stream's own memory as their
  // buffer; Compact leaves the position where it is.
  int32_t AddRef();
  uint32_t GetVersion() const { return KELVRA_GENERICSTREAM_VERSION; }
  uint8_t* GetBasePointer() const { return Memory; }
  uint8_t* GetCurPointer() const;
  bool IsReadOnly() const { return false; }
  int32_t GetSize() const { return Size; }
  TStatus Write(const void* buffer, int32_t count);
  int32_t Read(void* buffer, int32_t count);
  TStatus SetPos(int32_t position);
  int32_t GetPos() const { return Position; }
  void Clear();
  void Reset() { Clear(); }
  TStatus Truncate(int32_t size);
  [[noreturn]] void ReservedOperation(int32_t value);
  TStatus SetSize(int32_t size);
  TStatus Compact();

  // Bytes of memory held (the size rounded up as above).
  size_t Capacity() const { return CapacityBytes; }

 private:
  friend class TStreamTable<TGenericStream>;

  TGenericStream();
  ~TGenericStream();

  int32_t Release();
  // Makes room for at least `needed` bytes (more than the capacity) for a
  // Write: half again the capacity when that memory is there, else just
  // `needed`. Failure and content as SetCapacity.
  TStatus Grow(size_t needed);
  // Reallocates to `capacity` bytes (rounded up unless it equals the size;
  // 0 frees); content up to the smaller capacity is kept, the rest is not
  // zeroed. On failure (no memory) nothing changes.
  TStatus SetCapacity(size_t capacity);

  // Written by any holder's thread (AddRef/Release). The increment needs no
  // order; the decrement is acq_rel so that every holder's use of the stream
  // happens before the thread that reaches 0 frees it.
  std::atomic<int32_t> RefCount{1};

  // Used by the one thread that holds the stream at a time.
  uint8_t* Memory = nullptr;  // owned (malloc'd); null while CapacityBytes is 0
  size_t CapacityBytes = 0;
  int32_t Size = 0;
  int32_t Position = 0;  // never negative; may lie beyond Size
};
