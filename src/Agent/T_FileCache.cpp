// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_FileCache.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

#include "Agent/I_Session.h"
#include "Agent/T_AgentContext.h"
#include "Agent/T_AgentPeer.h"
#include "Agent/T_SessionLedger.h"
#include "Common/CommandText.h"
#include "Agent/T_CrashReports.h"
#include "Common/kelvracommon.h"
#include "Platform/I_ByteSink.h"
#include "Platform/T_Mutex.h"
#include "Platform/T_TaskGuard.h"

namespace {

// Upper case by the ASCII rules: bytes outside a-z stay as they are.
std::string UpperCase(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// Sessions of one user share the user's folder: one session's end removes
// it when empty, while another's first file may be making its own folder in
// it. This lock keeps the two apart, for every cache in the process. A leaf:
// taken under a cache's lock, nothing is taken under it. Never destroyed: a
// session may end during the process's exit.
TMutex& SessionFoldersLock() {
  static TMutex* const lock = new TMutex;
  return *lock;
}

// A file's signature, read whole: it is small, and longer than `bound` it is
// no signature.
class TBoundedText : public IByteSink {
 public:
  explicit TBoundedText(size_t bound) : Bound(bound) {}
  TStatus Write(const void* bytes, size_t size) override {
    if (size > Bound - Text.size()) {
      TooLong = true;
      return TStatus::Failure("signature", "longer than " + std::to_string(Bound) + " bytes");
    }
    Text.append(static_cast<const char*>(bytes), size);
    return {};
  }
  std::string Text;
  bool TooLong = false;

 private:
  const size_t Bound;
};

// A file's bytes on their way to disk, fed to its signature's check too.
class TCheckedBytes : public IByteSink {
 public:
  TCheckedBytes(IByteSink& file, TTrustedKeys::TCheck& check) : File(file), Check(check) {}
  TStatus Write(const void* bytes, size_t size) override {
    Check.Update(bytes, size);
    return File.Write(bytes, size);
  }

 private:
  IByteSink& File;               // borrowed
  TTrustedKeys::TCheck& Check;   // borrowed
};

// The refusal of a file that is not signed by a trusted key, for `reason`.
TStatus NotSigned(const std::string& name, const std::string& reason) {
  return TStatus::Failure("library " + name + " is not signed by a trusted key", reason);
}

}  // namespace

TFileCache::TFileCache(const TAgentContext& context, TAgentPeer& peer, void* session, IAgent* agentInterface)
    : Context(context),
      Peer(peer),
      Session(session),
      AgentInterface(agentInterface),
      CacheFolder(context.TempFolder() + OwnFolder() + "/") {}

TFileCache::~TFileCache() { ClearCache(); }

std::string TFileCache::UserFolder() const { return Context.TempFolder() + Peer.UserAddress(); }

std::string TFileCache::OwnFolder() const { return Peer.UserAddress() + "/" + ISession::FolderName(Session); }

std::string TFileCache::LocalNameFor(const std::string& spelling) const {
  std::string flat = spelling;
  std::replace(flat.begin(), flat.end(), ':', '_');
  std::replace(flat.begin(), flat.end(), '\\', '_');
  std::replace(flat.begin(), flat.end(), '/', '_');
  // With every separator gone the name is one entry of the folder, except
  // these, which name the folder itself or the one above it. A zero byte
  // would cut the path short.
  if (flat.empty() || flat == "." || flat == ".." || flat.find('\0') != std::string::npos) return {};
  return CacheFolder + flat;
}

int TFileCache::FindOrFetchLocked(const std::string& name, bool library, TLibraryRefusal* refusal) {
  const std::string key = UpperCase(name);
  for (size_t i = 0; i < Entries.size(); ++i) {
    if (Entries[i].Name == key) {
      Context.DebugWrite("FILECACHE: File %s reused from cache.", UserText(name));
      return static_cast<int>(i);
    }
  }
  Context.DebugWrite("FILECACHE: Requesting file %s from user.", UserText(name));
  const std::string local = LocalNameFor(name);
  if (!PrepareCopyLocked(local, key)) {
    Context.DebugWrite("FILECACHE: Unagle to create local file %s.", UserText(name));
    return -1;
  }
  const bool signatures = !Context.Settings().TrustedKeys.Empty();
  TTrustedKeys::TCheck check;
  if (signatures) {
    if (TLibraryRefusal refused = StartCheckLocked(name, key, check); refused.Kind != TLibraryRefusal::TKind::None) {
      Context.DebugWrite("FILECACHE: %s", UserText(refused.Why.Text()));
      if (refusal != nullptr) *refusal = std::move(refused);
      return -1;
    }
  }
  // The user is asked only once the new file is open, and the bytes go
  // there as they arrive; a signed file is checked on the way, and one that
  // does not match its signature is removed before it is ever executable.
  bool asked = false;
  bool refused = false;
  TStatus mismatch;
  const TStatus written =
      Context.Platform().Files->ReplaceFileFrom(local, library ? 0700 : 0600, [&](IByteSink& file) {
        asked = true;
        if (!signatures) return Peer.RequestFile(key, file, refused);
        TCheckedBytes checked(file, check);
        if (TStatus received = Peer.RequestFile(key, checked, refused); !received) return received;
        mismatch = check.Finish();
        return mismatch;
      });
  if (written) {
    Entries.push_back(TFileCacheEntry{key, name, local, nullptr});
    return static_cast<int>(Entries.size() - 1);
  }
  if (!mismatch) {
    const TStatus why = NotSigned(name, mismatch.Reason());
    Context.DebugWrite("FILECACHE: %s", UserText(why.Text()));
    if (refusal != nullptr) *refusal = {TLibraryRefusal::TKind::Unsigned, why};
  } else if (refused) {
    Context.DebugWrite("FILECACHE: Request for file %s failed - NULL.", UserText(name));
    Context.DebugWrite("FILECACHE: File %s not found on user.", UserText(name));
  } else if (!asked) {
    Context.DebugWrite("FILECACHE: %s", UserText(written.Text()));
    Context.DebugWrite("FILECACHE: Unagle to create local file %s.", UserText(name));
  } else {
    Context.DebugWrite("FILECACHE: Unable to receive file %s: %s", UserText(name), UserText(written.Text()));
    if (refusal != nullptr)
      *refusal = {TLibraryRefusal::TKind::Unreceived, TStatus::Failure(name, written.Text(), written.Code())};
  }
  return -1;
}

TLibraryRefusal TFileCache::StartCheckLocked(const std::string& name, const std::string& key,
                                             TTrustedKeys::TCheck& check) {
  TBoundedText signature(TTrustedKeys::kMaxSignatureBytes);
  bool refused = false;
  const TStatus received = Peer.RequestFile(key + ".MINISIG", signature, refused);
  if (refused) return {TLibraryRefusal::TKind::Unsigned, NotSigned(name, "the user sent no signature")};
  if (!received && signature.TooLong)
    return {TLibraryRefusal::TKind::Unsigned, NotSigned(name, TTrustedKeys::kMalformed)};
  if (!received)
    return {TLibraryRefusal::TKind::Unreceived, TStatus::Failure(name + ".minisig", received.Text(), received.Code())};
  if (TStatus started = check.Start(Context.Settings().TrustedKeys, signature.Text); !started)
    return {TLibraryRefusal::TKind::Unsigned, NotSigned(name, started.Reason())};
  return {};
}

bool TFileCache::PrepareCopyLocked(const std::string& local, const std::string& key) {
  if (local.empty()) return false;
  Context.DebugWrite("FILECACHE: Creating local file %s (original file - %s.", UserText(local), UserText(key));
  {
    TMutexLock folders(SessionFoldersLock());
    if (TStatus made = Context.Platform().Files->CreateOwnFolders(Context.TempFolder(), OwnFolder()); !made) {
      Context.DebugWrite("FILECACHE: %s", made.Text());
      return false;
    }
    FoldersMade = true;
  }
  // A library still loaded under this path (an earlier session's that would
  // not unload, or another entry's of the same flat name) would be handed
  // back by the loader instead of the new file: this copy could never be
  // loaded as what it is.
  if (Context.Platform().Libraries->IsLoaded(local)) {
    Context.DebugWrite("FILECACHE: cannot write %s: a library loaded from that file is still in use", UserText(local));
    return false;
  }
  return true;
}

void TFileCache::LoadEntryLibrary(int index) {
  TMutexLock guard(Lock);
  LoadEntryLibraryLocked(index);
}

void TFileCache::LoadEntryLibraryLocked(int index) {
  TFileCacheEntry& entry = Entries.at(static_cast<size_t>(index));
  if (entry.Module != nullptr) RaiseAssertionFailure("Agent/T_FileCache", 316);
  Context.DebugWrite("FILECACHE: Loading library from file %s (original file - %s.", UserText(entry.LocalName),
                   UserText(entry.Name));
  // The pool thread reports the library that did not load to the user, and
  // the next request tries again; the loader's reason (a missing dependency,
  // an undefined symbol, a file for another machine) goes to the log only.
  if (TStatus loaded = Context.Platform().Libraries->Load(entry.LocalName, entry.Module); !loaded)
    Context.DebugWrite("FILECACHE: unable to load dll %s: %s", UserText(entry.LocalName), UserText(loaded.Text()));
}

void* TFileCache::GetLibrary(const std::string& libraryText, TLibraryRefusal* refusal) {
  TMutexLock guard(Lock);
  std::vector<std::string> items;
  if (libraryText.find(',') == std::string::npos) {
    items.push_back(libraryText);
  } else {
    items = SplitCommandItems(libraryText);
  }
  int index = -1;
  for (size_t i = items.size(); i-- > 0;) {
    index = FindOrFetchLocked(items[i], i == 0, refusal);
    if (index < 0) return nullptr;
  }
  if (index < 0) return nullptr;  // a list of no items names no library
  if (Entries[static_cast<size_t>(index)].Module == nullptr) LoadEntryLibraryLocked(index);
  return Entries[static_cast<size_t>(index)].Module;
}

void TFileCache::CallEndSession() {
  std::vector<void*> modules;
  {
    TMutexLock guard(Lock);
    for (const TFileCacheEntry& entry : Entries)
      if (entry.Module != nullptr) modules.push_back(entry.Module);
  }
  IDynamicLibraries& libraries = *Context.Platform().Libraries;
  for (void* module : modules) {
    const char* name = "EndSession";
    void* address = libraries.Symbol(module, name);
    if (address == nullptr) address = libraries.Symbol(module, name = "_EndSession");
    if (address == nullptr) continue;
    // A C++ exception or a processor fault in the library fails only this
    // call; the other libraries are still called.
    const TStatus failure =
        TTaskGuard::CallEndSession(reinterpret_cast<EndSessionProc>(address), AgentInterface, Session);
    if (failure.Ok()) continue;
    Context.DebugWrite("WORKERTHREAD: exception %sin EndSession()", UserText(failure.Text()));
    if (std::optional<TTaskGuard::TFaultRecord> fault = TTaskGuard::LastFault()) {
      TCrashFacts facts;
      facts.UserAddress = Peer.UserAddress();
      facts.Procedure = name;
      facts.FaultText = failure.Text();
      facts.Fault = std::move(*fault);
      TCrashReports::WriteAndLog(Context, std::move(facts), address, "WORKERTHREAD: crash report of EndSession()");
    }
  }
}

char* TFileCache::CopyCacheFolder(char* buffer) const { return ISession::CopyFolderTo(CacheFolder, buffer); }

void TFileCache::ClearCache() {
  TMutexLock guard(Lock);
  const TPlatform& platform = Context.Platform();
  // What cannot be unloaded or deleted stays; nothing is reported.
  for (TFileCacheEntry& entry : Entries) {
    if (entry.Module != nullptr) static_cast<void>(platform.Libraries->Unload(entry.Module));
    entry.Module = nullptr;
  }
  Entries.clear();
  if (!std::exchange(FoldersMade, false)) return;
  // Named without a final "/", which would make the system follow a link
  // in the folder's place.
  const std::string sessionFolder = Context.TempFolder() + OwnFolder();
  TMutexLock folders(SessionFoldersLock());
  static_cast<void>(platform.Files->RemoveFolderContents(sessionFolder));
  static_cast<void>(platform.Files->RemoveDirectory(sessionFolder));
  // In a session process of its own the agent made the user's folder and
  // removes it, kept apart from the other sessions' starts.
  if (TSessionLedger::OfThisProcess() == nullptr) static_cast<void>(platform.Files->RemoveDirectory(UserFolder()));
}
