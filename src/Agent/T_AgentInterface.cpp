// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_AgentInterface.h"

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "Agent/I_Session.h"
#include "Common/T_SlotError.h"

namespace {

// The session of `identity`, for a slot's body; null, with "Unknown session
// identity" remembered for the task, when it is no live session's.
ISession* SessionOf(void* identity) {
  ISession* session = ISession::FromIdentity(identity);
  if (session == nullptr) TSlotError::Remember("Unknown session identity");
  return session;
}

}  // namespace

TAgentInterface::TAgentInterface(const TAgentContext& context, const TClosingFlag& closing,
                                 const TSuspendState& suspension, TLibraryLock* sharedLock)
    : Context(context), Closing(closing), Suspension(suspension), SharedLock(sharedLock) {}

const IAgentVtbl TAgentInterface::kSlotTable = {
    &TAgentInterface::SlotQueryInterface, &TAgentInterface::SlotAddRef,
    &TAgentInterface::SlotRelease,        &TAgentInterface::SlotGetVersion,
    &TAgentInterface::SlotGetData,        &TAgentInterface::SlotFreeData,
    &TAgentInterface::SlotShouldAbort,    &TAgentInterface::SlotGetSessionFolder,
    &TAgentInterface::SlotGetGlobalLock,
};

int32_t TAgentInterface::SlotQueryInterface(IAgent*, const void*, void**) noexcept { return KELVRA_E_NOINTERFACE; }

uint32_t TAgentInterface::SlotAddRef(IAgent*) noexcept { return 1; }

uint32_t TAgentInterface::SlotRelease(IAgent*) noexcept { return 1; }

int32_t TAgentInterface::SlotGetVersion(IAgent*, uint32_t* out) noexcept {
  return TSlotError::Run(int32_t{1}, [&] {
    *out = KELVRA_AGENT_VERSION;
    return int32_t{0};
  });
}

int32_t TAgentInterface::SlotGetData(IAgent*, void* session, const char* id, IGenericStream** out) noexcept {
  return TSlotError::Run(int32_t{1}, [&] {
    *out = nullptr;
    ISession* owner = SessionOf(session);
    if (owner == nullptr) return int32_t{1};
    IGenericStream* view = nullptr;
    const TStatus got = owner->GetData(id, view);
    TSlotError::Remember(got);  // nothing for an ok status: the view tells
    if (view == nullptr) return int32_t{1};
    view->SetPos(0);
    *out = view;
    return int32_t{0};
  });
}

int32_t TAgentInterface::SlotFreeData(IAgent*, void* session, const char* id) noexcept {
  return TSlotError::Run(int32_t{0}, [&] {
    if (ISession* owner = SessionOf(session); owner != nullptr)
      owner->FreeData(id != nullptr ? std::optional<std::string>(id) : std::nullopt);
    return int32_t{0};
  });
}

int32_t TAgentInterface::SlotShouldAbort(IAgent* self, void* session) noexcept {
  return TSlotError::Run(int32_t{0}, [&] {
    TAgentInterface& agent = OwnerOf(self);
    ISession* found = SessionOf(session);
    if (found == nullptr) return int32_t{0};
    ISession& owner = *found;
    // Holds the task back while the machine's owner needs the processors.
    while (agent.Suspension.SuspendSeconds() > 0 && !agent.Closing.IsSet() && !owner.SessionEnding()) {
      agent.Context.DebugWrite("Suspended...");
      std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }
    return int32_t{owner.SessionEnding() ? 1 : 0};
  });
}

int32_t TAgentInterface::SlotGetSessionFolder(IAgent*, void* session, char* buffer) noexcept {
  return TSlotError::Run(int32_t{0}, [&] {
    if (ISession* owner = SessionOf(session); owner != nullptr) ISession::CopyFolderTo(owner->SessionFolder(), buffer);
    return int32_t{0};
  });
}

int32_t TAgentInterface::SlotGetGlobalLock(IAgent* self, void** out) noexcept {
  return TSlotError::Run(int32_t{0}, [&] {
    *out = OwnerOf(self).GlobalLockAddress();
    return int32_t{0};
  });
}
