// SPDX-License-Identifier: Apache-2.0
#include "Agent/I_Session.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "Platform/T_Mutex.h"

namespace {

// Every live session by its identity, for the whole process: identities are
// unique in the process, whichever agent the session belongs to.
struct TSessionRegistry {
  TMutex Lock;
  uintptr_t LastIdentity GUARDED_BY(Lock) = 0;  // only counts up
  std::unordered_map<uintptr_t, ISession*> Sessions GUARDED_BY(Lock);
};

// Never destroyed: a session may end during the process's exit.
TSessionRegistry& Registry() {
  static TSessionRegistry* const registry = new TSessionRegistry;
  return *registry;
}

void* Register(ISession* session) {
  TSessionRegistry& registry = Registry();
  TMutexLock guard(registry.Lock);
  const uintptr_t identity = ++registry.LastIdentity;
  registry.Sessions.emplace(identity, session);
  return reinterpret_cast<void*>(identity);
}

}  // namespace

ISession::ISession() : Identity(Register(this)) {}

ISession::~ISession() {
  TSessionRegistry& registry = Registry();
  TMutexLock guard(registry.Lock);
  registry.Sessions.erase(reinterpret_cast<uintptr_t>(Identity));
}

uintptr_t ISession::ReserveIdentity() {
  TSessionRegistry& registry = Registry();
  TMutexLock guard(registry.Lock);
  return ++registry.LastIdentity;
}

void ISession::ContinueIdentitiesFrom(uintptr_t identity) {
  TSessionRegistry& registry = Registry();
  TMutexLock guard(registry.Lock);
  registry.LastIdentity = identity - 1;
}

std::string ISession::FolderName(const void* identity) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  auto value = reinterpret_cast<uintptr_t>(identity);
  std::string name(sizeof(void*) * 2, '0');
  for (size_t i = name.size(); i-- > 0; value >>= 4) name[i] = kDigits[value & 0xF];
  return name;
}

ISession* ISession::FromIdentity(void* identity) {
  TSessionRegistry& registry = Registry();
  TMutexLock guard(registry.Lock);
  auto found = registry.Sessions.find(reinterpret_cast<uintptr_t>(identity));
  return found == registry.Sessions.end() ? nullptr : found->second;
}

char* ISession::CopyFolderTo(const std::string& folder, char* buffer) {
  const size_t length = std::min(folder.size(), size_t{KELVRA_SESSION_FOLDER_MAX} - 1);
  std::memcpy(buffer, folder.data(), length);
  buffer[length] = '\0';
  return buffer;
}
