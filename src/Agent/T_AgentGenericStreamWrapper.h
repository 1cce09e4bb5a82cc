// SPDX-License-Identifier: Apache-2.0
// TAgentGenericStreamWrapper: a read-only view (TGenericStreamRO) over the
// whole memory of another stream, holding one reference on that stream for
// its whole life: the data cache hands these to tasks, and a cached block
// stays alive while any task still holds a view of it, even after the cache
// dropped it. The viewed stream must not change while views exist.
// Threads and counting as for TGenericStreamRO.
#pragma once

#include "Common/T_GenericStreamRO.h"
#include "Common/T_StreamRef.h"
#include "Common/T_StreamTable.h"

class TAgentGenericStreamWrapper final : public TGenericStreamRO {
 public:
  // A view of `wrapped`'s size and memory as they are now, at position 0,
  // count 1; takes a reference of its own on `wrapped` (not null).
  static IGenericStream* Create(IGenericStream* wrapped);

 private:
  friend class TStreamTable<TAgentGenericStreamWrapper>;

  explicit TAgentGenericStreamWrapper(IGenericStream* wrapped);
  ~TAgentGenericStreamWrapper() = default;  // releases Wrapped

  int32_t Release();

  // Constant after construction.
  const TStreamRef Wrapped;  // one reference, owned
};
