// SPDX-License-Identifier: Apache-2.0
// TStreamRef: the agent's hold on one reference to an IGenericStream, which
// it releases when destroyed. It moves but is never copied: a stream has one
// holder at a time, and handing it on moves the holder. Calls go through the
// stream's table as a task's do; those that can fail answer the slot's error
// as a TStatus (and leave the thread's remembered error as it was), so the
// agent sees every refused call. Not shared between threads.
#pragma once

#include <cstdint>

#include "I_GenericStream.h"
#include "Platform/T_Status.h"

class TStreamRef {
 public:
  TStreamRef() = default;
  // Takes over one reference the caller held (a new stream's first one).
  explicit TStreamRef(IGenericStream* adopted) noexcept : Stream(adopted) {}
  // Adds a reference of its own to `stream` (none for null).
  static TStreamRef AddRefTo(IGenericStream* stream) noexcept;

  TStreamRef(TStreamRef&& other) noexcept : Stream(other.Detach()) {}
  TStreamRef& operator=(TStreamRef&& other) noexcept;
  TStreamRef(const TStreamRef&) = delete;
  TStreamRef& operator=(const TStreamRef&) = delete;
  ~TStreamRef() { Drop(); }

  // The stream, still held here; null when empty.
  IGenericStream* Get() const noexcept { return Stream; }
  explicit operator bool() const noexcept { return Stream != nullptr; }
  // Gives the reference to the caller; this holder becomes empty.
  IGenericStream* Detach() noexcept;
  // Releases the reference held, if any.
  void Drop() noexcept;

  // The stream's slots; the holder must not be empty. These never fail.
  int32_t GetSize() const { return Stream->GetSize(); }
  int32_t GetPos() const { return Stream->GetPos(); }
  uint8_t* GetBasePointer() const { return Stream->GetBasePointer(); }
  uint8_t* GetCurPointer() const { return Stream->GetCurPointer(); }
  bool IsReadOnly() const { return Stream->IsReadOnly() != 0; }
  int32_t Read(void* buffer, int32_t count) const { return Stream->Read(buffer, count); }
  // These answer the slot's error (a read-only refusal, "Range check
  // error", "Out of memory while expanding memory stream"). Write writes all
  // `count` bytes or fails.
  TStatus Write(const void* buffer, int32_t count) const;
  TStatus SetPos(int32_t position) const;
  TStatus SetSize(int32_t size) const;
  TStatus Truncate(int32_t size) const;
  TStatus Clear() const;
  TStatus Compact() const;

 private:
  IGenericStream* Stream = nullptr;  // one reference, owned
};
