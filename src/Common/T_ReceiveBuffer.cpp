#include "Common/T_ReceiveBuffer.h"

#include <algorithm>
#include <cstring>

size_t TReceiveBuffer::Take(void* destination, size_t count) {
  const size_t taken = std::min(count, Held());
  if (taken == 0) return 0;
  std::memcpy(destination, Storage.get() + Start, taken);
  Start += taken;
  if (Start == End) Start = End = 0;
  return taken;
}

uint8_t* TReceiveBuffer::Room() {
  if (!Storage) Storage = std::make_unique_for_overwrite<uint8_t[]>(kCapacity);
  Start = End = 0;
  return Storage.get();
}

void TReceiveBuffer::Received(size_t count) {
  Start = 0;
  End = std::min(count, kCapacity);
}

void TReceiveBuffer::Clear() {
  Storage.reset();
  Start = End = 0;
}
