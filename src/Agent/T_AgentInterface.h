// SPDX-License-Identifier: Apache-2.0
// TAgentInterface: the IAgent object handed to task libraries (procedures
// and their EndSession exports) and its slot table. Every slot is a C entry
// point that never lets an error escape into task code: a failure is
// remembered for the calling thread and fails the task when its procedure
// returns. The slots find the calling task's session by its identity
// (ISession). Any number of threads may call them at once; the object is
// built by the agent and lives as long as it.
#pragma once

#include "Agent/T_AgentContext.h"
#include "Agent/T_ClosingFlag.h"
#include "Agent/T_SuspendState.h"
#include "I_Agent.h"
#include "Platform/T_LibraryLock.h"

class TAgentInterface {
 public:
  // `context`, `closing` and `suspension` are borrowed for the object's life.
  // The global lock is the object's own, or `sharedLock` (borrowed for the
  // object's life) when given: the one lock of every session process.
  TAgentInterface(const TAgentContext& context, const TClosingFlag& closing, const TSuspendState& suspension,
                  TLibraryLock* sharedLock = nullptr);
  TAgentInterface(const TAgentInterface&) = delete;
  TAgentInterface& operator=(const TAgentInterface&) = delete;

  // The object task libraries receive; valid for this object's life.
  IAgent* Interface() { return &Object; }
  // The global lock handed to task libraries; never taken by the agent.
  void* GlobalLockAddress() { return SharedLock != nullptr ? SharedLock->Address() : LibraryLock.Address(); }

 private:
  // The object task libraries see: its first word points to the slot table.
  struct TObject : IAgent {
    TAgentInterface* Owner;  // borrowed: the interface that holds this object
  };
  static TAgentInterface& OwnerOf(IAgent* self) { return *static_cast<TObject*>(self)->Owner; }
  static const IAgentVtbl kSlotTable;
  static int32_t SlotQueryInterface(IAgent* self, const void* iid16, void** out) noexcept;
  static uint32_t SlotAddRef(IAgent* self) noexcept;
  static uint32_t SlotRelease(IAgent* self) noexcept;
  static int32_t SlotGetVersion(IAgent* self, uint32_t* out) noexcept;
  static int32_t SlotGetData(IAgent* self, void* session, const char* id, IGenericStream** out) noexcept;
  static int32_t SlotFreeData(IAgent* self, void* session, const char* id) noexcept;
  static int32_t SlotShouldAbort(IAgent* self, void* session) noexcept;
  static int32_t SlotGetSessionFolder(IAgent* self, void* session, char* buffer) noexcept;
  static int32_t SlotGetGlobalLock(IAgent* self, void** out) noexcept;

  // Constant after construction.
  const TAgentContext& Context;      // borrowed
  const TClosingFlag& Closing;       // borrowed
  const TSuspendState& Suspension;   // borrowed
  TObject Object{{&kSlotTable}, this};
  TLibraryLock LibraryLock;
  TLibraryLock* const SharedLock;  // borrowed; null: LibraryLock serves
};
