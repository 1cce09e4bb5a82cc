// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_SessionProcesses.h"

#include <new>
#include <stdexcept>

#include "Agent/T_AgentContext.h"
#include "Agent/T_SessionProcessHost.h"

namespace {

// Places a T in the fresh region `memory`, or throws what failed.
template <typename T>
T* PlaceShared(const char* name, TSharedMemory& memory, bool processShared = false) {
  if (TStatus made = TSharedMemory::Create(name, sizeof(T), memory); !made)
    throw std::runtime_error("Unable to make the memory shared with session processes: " + made.Text());
  if constexpr (std::is_same_v<T, TLibraryLock>)
    return new (memory.Address()) T(processShared);
  else
    return new (memory.Address()) T();
}

}  // namespace

TSessionProcesses::TSessionProcesses(const TAgentContext& context, std::string program, std::string configFile)
    : Context(context), Program(std::move(program)), ConfigFile(std::move(configFile)) {
  BoardPlace = PlaceShared<TBoard>("kelvra-board", BoardMemory);
  // The agent keeps writing through its own mapping; a session process can
  // only read.
  if (TStatus sealed = BoardMemory.SealWrites(); !sealed)
    throw std::runtime_error("Unable to seal the memory shared with session processes: " + sealed.Text());
  LibraryLock = PlaceShared<TLibraryLock>("kelvra-lock", LockMemory, true);
}

// The lock and the board stay in their regions: a session process may still
// map them while the agent's hosts end, and the mappings go with the agent.
TSessionProcesses::~TSessionProcesses() = default;

void TSessionProcesses::Serve(TConnection& connection, const TSessionServices& services) {
  TSessionProcessHost(Context, services, *this).Serve(connection);
}

void TSessionProcesses::StopNow() {
  StoppingNow.store(true, std::memory_order_relaxed);
  StopWake.Signal();
}
