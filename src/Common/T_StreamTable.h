// SPDX-License-Identifier: Apache-2.0
// TStreamTable<T>: the IGenericStream slot table of the stream class T. Each
// slot is a C-callable, noexcept wrapper that turns the interface pointer
// back into T and calls T's method of the same name under TSlotError::Run:
// a failure (the TStatus a method answers, or an assertion failure it
// raises) becomes the slot's failure value (0, null or nothing) and is
// remembered for the calling thread. The body runs with the task-fault guard
// disarmed: a fault in the agent's stream code ends the process instead of
// being jumped over. T derives from IGenericStream and lets this class reach
// its private AddRef and Release (only the table frees it). Write, SetPos,
// Truncate, SetSize and Compact of T answer a TStatus (SetPos may answer
// nothing); a successful Write answers its count, Compact the position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "Common/T_SlotError.h"
#include "I_GenericStream.h"

template <typename T>
class TStreamTable {
 public:
  static const IGenericStreamVtbl* Get() { return &Table; }

 private:
  static T* Self(IGenericStream* self) { return static_cast<T*>(self); }

  // A slot's body: disarmed, its failure remembered and `failure` answered.
  template <typename TResult, typename TBody>
  static TResult Run(TResult failure, TBody&& body) noexcept {
    return TSlotError::Run(failure, std::forward<TBody>(body));
  }
  template <typename TBody>
  static void Run(TBody&& body) noexcept {
    TSlotError::Run(std::forward<TBody>(body));
  }

  // Touches nothing, so it needs neither the capture nor the disarming.
  static int32_t QueryInterface(IGenericStream*, const void*, void**) noexcept { return KELVRA_E_NOINTERFACE; }
  static int32_t AddRef(IGenericStream* self) noexcept {
    return Run(int32_t{0}, [&] { return Self(self)->AddRef(); });
  }
  static int32_t Release(IGenericStream* self) noexcept {
    return Run(int32_t{0}, [&] { return Self(self)->Release(); });
  }
  static uint32_t GetVersion(IGenericStream* self) noexcept {
    return Run(uint32_t{0}, [&] { return Self(self)->GetVersion(); });
  }
  static uint8_t* GetBasePointer(IGenericStream* self) noexcept {
    return Run(static_cast<uint8_t*>(nullptr), [&] { return Self(self)->GetBasePointer(); });
  }
  static uint8_t* GetCurPointer(IGenericStream* self) noexcept {
    return Run(static_cast<uint8_t*>(nullptr), [&] { return Self(self)->GetCurPointer(); });
  }
  static uint8_t IsReadOnly(IGenericStream* self) noexcept {
    return Run(uint8_t{0}, [&] { return static_cast<uint8_t>(Self(self)->IsReadOnly() ? 1 : 0); });
  }
  static int32_t GetSize(IGenericStream* self) noexcept {
    return Run(int32_t{0}, [&] { return Self(self)->GetSize(); });
  }
  static int32_t Write(IGenericStream* self, const void* buffer, int32_t count) noexcept {
    return Run(int32_t{0}, [&] {
      return TSlotError::Answer(Self(self)->Write(buffer, count), count > 0 ? count : 0, int32_t{0});
    });
  }
  static int32_t Read(IGenericStream* self, void* buffer, int32_t count) noexcept {
    return Run(int32_t{0}, [&] { return Self(self)->Read(buffer, count); });
  }
  static void SetPos(IGenericStream* self, int32_t position) noexcept {
    Run([&] { return Self(self)->SetPos(position); });
  }
  static int32_t GetPos(IGenericStream* self) noexcept {
    return Run(int32_t{0}, [&] { return Self(self)->GetPos(); });
  }
  static void Clear(IGenericStream* self) noexcept {
    Run([&] { Self(self)->Clear(); });
  }
  static void Reset(IGenericStream* self) noexcept {
    Run([&] { Self(self)->Reset(); });
  }
  static void Truncate(IGenericStream* self, int32_t size) noexcept {
    Run([&] { return Self(self)->Truncate(size); });
  }
  static void ReservedOperation(IGenericStream* self, int32_t value) noexcept {
    Run([&] { Self(self)->ReservedOperation(value); });
  }
  static void SetSize(IGenericStream* self, int32_t size) noexcept {
    Run([&] { return Self(self)->SetSize(size); });
  }
  static int32_t Compact(IGenericStream* self) noexcept {
    return Run(int32_t{0}, [&] {
      const TStatus compacted = Self(self)->Compact();
      return TSlotError::Answer(compacted, Self(self)->GetPos(), int32_t{0});
    });
  }

  static constexpr IGenericStreamVtbl Table = {
      QueryInterface, AddRef,  Release, GetVersion, GetBasePointer, GetCurPointer, IsReadOnly, GetSize, Write,
      Read,           SetPos,  GetPos,  Clear,      Reset,          Truncate,      ReservedOperation, SetSize,
      Compact,
  };
};

// The table is read by code built without the agent: its shape is fixed.
static_assert(sizeof(IGenericStreamVtbl) == 18 * sizeof(void*));
static_assert(offsetof(IGenericStreamVtbl, QueryInterface) == 0 * sizeof(void*));
static_assert(offsetof(IGenericStreamVtbl, AddRef) == 1 * sizeof(void*));
static_assert(offsetof(IGenericStreamVtbl, Release) == 2 * sizeof(void*));
static_assert(offsetof(IGenericStreamVtbl, GetVersion) == 3 * sizeof(void*));
static_assert(offsetof(IGenericStreamVtbl, GetBasePointer) == 4 * sizeof(void*));
static_assert(offsetof(IGenericStreamVtbl, GetCurPointer) == 5 * sizeof(void*));
static_assert(offsetof(IGenericStreamVtbl, IsReadOnly) == 6 * sizeof(void*));
static_assert(offsetof(IGenericStreamVtbl, GetSize) == 7 * sizeof(void*));
static_assert(offsetof(IGenericStreamVtbl, Write) == 8 * sizeof(void*));
static_assert(offsetof(IGenericStreamVtbl, Read) == 9 * sizeof(void*));
static_assert(offsetof(IGenericStreamVtbl, SetPos) == 10 * sizeof(void*));
static_assert(offsetof(IGenericStreamVtbl, GetPos) == 11 * sizeof(void*));
static_assert(offsetof(IGenericStreamVtbl, Clear) == 12 * sizeof(void*));
static_assert(offsetof(IGenericStreamVtbl, Reset) == 13 * sizeof(void*));
static_assert(offsetof(IGenericStreamVtbl, Truncate) == 14 * sizeof(void*));
static_assert(offsetof(IGenericStreamVtbl, ReservedOperation) == 15 * sizeof(void*));
static_assert(offsetof(IGenericStreamVtbl, SetSize) == 16 * sizeof(void*));
static_assert(offsetof(IGenericStreamVtbl, Compact) == 17 * sizeof(void*));
static_assert(sizeof(IGenericStream) == sizeof(void*));
