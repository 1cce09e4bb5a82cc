#include "GenericStreamAbiShim.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "Agent/T_AgentGenericStreamWrapper.h"
#include "Common/T_GenericStream.h"
#include "Common/T_GenericStreamRO.h"
#include "Common/T_SlotError.h"

IGenericStream* TEST_CreateGenericStream(void) { return TGenericStream::Create(); }

IGenericStream* TEST_CreateGenericStreamRO(const void* data, int32_t size) {
  return TGenericStreamRO::Create(data, size);
}

IGenericStream* TEST_CreateStreamWrapper(IGenericStream* wrapped) {
  return TAgentGenericStreamWrapper::Create(wrapped);
}

int TEST_TakeSlotError(char* buffer, int32_t size) {
  std::optional<std::string> text = TSlotError::Take();
  size_t length = text ? std::min(text->size(), static_cast<size_t>(size - 1)) : 0;
  if (length > 0) std::memcpy(buffer, text->data(), length);
  buffer[length] = '\0';
  return text ? 1 : 0;
}
