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

int32_t TStreamRef::Write(const void* buffer, int32_t count) const {
  return TSlotError::Check([&] { return Stream->Write(buffer, count); });
}

void TStreamRef::SetPos(int32_t position) const {
  TSlotError::Check([&] { Stream->SetPos(position); });
}

void TStreamRef::SetSize(int32_t size) const {
  TSlotError::Check([&] { Stream->SetSize(size); });
}

void TStreamRef::Truncate(int32_t size) const {
  TSlotError::Check([&] { Stream->Truncate(size); });
}

void TStreamRef::Clear() const {
  TSlotError::Check([&] { Stream->Clear(); });
}

int32_t TStreamRef::Compact() const {
  return TSlotError::Check([&] { return Stream->Compact(); });
}
