// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_AgentGenericStreamWrapper.h"

TAgentGenericStreamWrapper::TAgentGenericStreamWrapper(IGenericStream* wrapped)
    : TGenericStreamRO(TStreamTable<TAgentGenericStreamWrapper>::Get(), wrapped->GetBasePointer(),
                       wrapped->GetSize()),
      Wrapped(TStreamRef::AddRefTo(wrapped)) {}

IGenericStream* TAgentGenericStreamWrapper::Create(IGenericStream* wrapped) {
  return new TAgentGenericStreamWrapper(wrapped);
}

int32_t TAgentGenericStreamWrapper::Release() {
  int32_t count = DropReference();
  if (count == 0) delete this;
  return count;
}
