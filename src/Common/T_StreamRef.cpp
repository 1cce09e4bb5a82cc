// SPDX-License-Identifier: Apache-2.0
#include "Common/T_StreamRef.h"

#include "Common/T_SlotError.h"

TStreamRef TStreamRef::AddRefTo(IGenericStream* stream) noexcept {
  if (stream != nullptr) stream->AddRef();
  return TStreamRef(stream);
}

TStreamRef& TStreamRef::operator=(TStreamRef&& other) noexcept {
  if (this != &other) {
    Drop();
    Stream = other.Detach();
  }
  return *this;
}

IGenericStream* TStreamRef::Detach() noexcept {
  IGenericStream* stream = Stream;
  Stream = nullptr;
  return stream;
}

void TStreamRef::Drop() noexcept {
  if (Stream != nullptr) Detach()->Release();
}

TStatus TStreamRef::Write(const void* buffer, int32_t count) const {
  return TSlotError::Check([&] { Stream->Write(buffer, count); });
}

TStatus TStreamRef::SetPos(int32_t position) const {
  return TSlotError::Check([&] { Stream->SetPos(position); });
}

TStatus TStreamRef::SetSize(int32_t size) const {
  return TSlotError::Check([&] { Stream->SetSize(size); });
}

TStatus TStreamRef::Truncate(int32_t size) const {
  return TSlotError::Check([&] { Stream->Truncate(size); });
}

TStatus TStreamRef::Clear() const {
  return TSlotError::Check([&] { Stream->Clear(); });
}

TStatus TStreamRef::Compact() const {
  return TSlotError::Check([&] { Stream->Compact(); });
}
