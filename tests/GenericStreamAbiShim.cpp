// SPDX-License-Identifier: Apache-2.0
#include "GenericStreamAbiShim.h"

#include <algorithm>
#include <cstring>
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
  const TStatus error = TSlotError::Take();
  const std::string text = error.Text();
  size_t length = std::min(text.size(), static_cast<size_t>(size - 1));
  if (length > 0) std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
  return error.Ok() ? 0 : 1;
}
