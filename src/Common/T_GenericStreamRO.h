// SPDX-License-Identifier: Apache-2.0
// TGenericStreamRO: a read-only IGenericStream over memory somebody else
// owns; the memory must outlive the view. Every modifying slot raises the
// unit's assertion failure. Reference-counted like TGenericStream: Create
// answers the first reference, the Release that reaches 0 frees the view
// (never the memory). AddRef and Release from any thread; every other call
// from one thread at a time. Several views may read one memory at once.
#pragma once

#include <atomic>
#include <cstdint>

#include "Common/T_StreamTable.h"
#include "I_GenericStream.h"
#include "Platform/T_Status.h"

class TGenericStreamRO : public IGenericStream {
 public:
  // A view of `size` bytes at `data` (borrowed), at position 0, count 1.
  static IGenericStream* Create(const void* data, int32_t size);

  TGenericStreamRO(const TGenericStreamRO&) = delete;
  TGenericStreamRO& operator=(const TGenericStreamRO&) = delete;

  // The slots. The position may be set to any value; nothing is read at a
  // position outside the view. Read takes its count as unsigned.
  int32_t AddRef();
  uint32_t GetVersion() const { return KELVRA_GENERICSTREAM_VERSION; }
  uint8_t* GetBasePointer() const { return const_cast<uint8_t*>(Data); }
  uint8_t* GetCurPointer() const;
  bool IsReadOnly() const { return true; }
  int32_t GetSize() const { return Size; }
  [[noreturn]] TStatus Write(const void* buffer, int32_t count);
  int32_t Read(void* buffer, int32_t count);
  void SetPos(int32_t position) { Position = position; }
  int32_t GetPos() const { return Position; }
  [[noreturn]] void Clear();
  [[noreturn]] void Reset();
  [[noreturn]] TStatus Truncate(int32_t size);
  [[noreturn]] void ReservedOperation(int32_t value);
  [[noreturn]] TStatus SetSize(int32_t size);
  [[noreturn]] TStatus Compact();

 protected:
  // For a view with a table of its own (a class that adds to the view).
  TGenericStreamRO(const IGenericStreamVtbl* table, const void* data, int32_t size);
  ~TGenericStreamRO() = default;

  // Drops one reference and answers the new count; frees nothing.
  int32_t DropReference();

 private:
  friend class TStreamTable<TGenericStreamRO>;

  int32_t Release();

  // Written by any holder's thread (AddRef/Release). The increment needs no
  // order; the decrement is acq_rel so that every holder's use of the view
  // happens before the thread that reaches 0 frees it.
  std::atomic<int32_t> RefCount{1};

  // Constant after construction.
  const uint8_t* const Data;  // borrowed
  const int32_t Size;

  // Used by the one thread that holds the view at a time.
  int32_t Position = 0;
};
