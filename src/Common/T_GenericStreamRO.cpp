// SPDX-License-Identifier: Apache-2.0
#include "Common/T_GenericStreamRO.h"

#include <cstring>

#include "Common/kelvracommon.h"

namespace {

constexpr const char* kUnit = "Common/T_GenericStreamRO";

}  // namespace

TGenericStreamRO::TGenericStreamRO(const IGenericStreamVtbl* table, const void* data, int32_t size)
    : IGenericStream{table}, Data(static_cast<const uint8_t*>(data)), Size(size) {}

IGenericStream* TGenericStreamRO::Create(const void* data, int32_t size) {
  return new TGenericStreamRO(TStreamTable<TGenericStreamRO>::Get(), data, size);
}

int32_t TGenericStreamRO::AddRef() { return RefCount.fetch_add(1, std::memory_order_relaxed) + 1; }

int32_t TGenericStreamRO::DropReference() { return RefCount.fetch_sub(1, std::memory_order_acq_rel) - 1; }

int32_t TGenericStreamRO::Release() {
  int32_t count = DropReference();
  if (count == 0) delete this;
  return count;
}

uint8_t* TGenericStreamRO::GetCurPointer() const {
  // An address only: outside the view it is not for use.
  return reinterpret_cast<uint8_t*>(reinterpret_cast<uintptr_t>(Data) +
                                    static_cast<uintptr_t>(static_cast<intptr_t>(Position)));
}

int32_t TGenericStreamRO::Read(void* buffer, int32_t count) {
  if (Position < 0) return 0;  // before the view: nothing there to read
  int64_t available = int64_t{Size} - Position;
  if (available <= 0) return 0;
  int64_t wanted = static_cast<uint32_t>(count);
  int32_t taken = static_cast<int32_t>(wanted < available ? wanted : available);
  std::memmove(buffer, Data + Position, static_cast<size_t>(taken));
  Position += taken;
  return taken;
}

TStatus TGenericStreamRO::Write(const void*, int32_t) { RaiseAssertionFailure(kUnit, 150); }
void TGenericStreamRO::Clear() { RaiseAssertionFailure(kUnit, 192); }
void TGenericStreamRO::Reset() { RaiseAssertionFailure(kUnit, 199); }
TStatus TGenericStreamRO::Truncate(int32_t) { RaiseAssertionFailure(kUnit, 206); }
void TGenericStreamRO::ReservedOperation(int32_t) { RaiseAssertionFailure(kUnit, 213); }
TStatus TGenericStreamRO::SetSize(int32_t) { RaiseAssertionFailure(kUnit, 220); }
TStatus TGenericStreamRO::Compact() { RaiseAssertionFailure(kUnit, 227); }
