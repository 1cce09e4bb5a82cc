// SPDX-License-Identifier: Apache-2.0
// TFileCache: a session's files from its user, each fetched once (GET_FILE)
// and written flat into the session folder as its bytes arrive (never held
// whole), and, for the library a task names first, loaded once until the
// session ends; then EndSession is called, and everything is unloaded,
// deleted and removed.
// Threads: the worker creates it, calls CallEndSession once the pool is gone
// and destroys it; pool threads call GetLibrary at once, each holding the
// cache's lock for the whole call (network, disk, load), taken once: its
// steps are ...Locked functions. Lock order (Agent/LockOrder.h): the cache's
// lock, then the peer's or the process-wide lock that keeps the making and
// removing of session folders apart (a leaf).
#pragma once

#include <string>
#include <vector>

#include "Agent/T_TrustedKeys.h"
#include "I_Agent.h"
#include "Platform/T_Mutex.h"
#include "Platform/T_Status.h"

class TAgentContext;
class TAgentPeer;

// Why GetLibrary answered no library, when the user hears more than that it
// did not load.
struct TLibraryRefusal {
  enum class TKind {
    None,        // the user refused a file, or the library did not load
    Unreceived,  // a transfer failed: Why is its failure, in the context of the file's name
    Unsigned,    // Why reads "library <name> is not signed by a trusted key: <reason>"
  };
  TKind Kind = TKind::None;
  TStatus Why;
};

// One file of the session, per distinct upper-cased name.
struct TFileCacheEntry {
  std::string Name;       // the cache key: the requested name upper-cased
  std::string Spelling;   // the name as first requested; the local copy is named after it
  std::string LocalName;  // full path of the local copy, written whole
  void* Module = nullptr; // the loaded library; null while not loaded
};

class TFileCache {
 public:
  // The session folder is <temp folder><user address>/<session as 16
  // upper-case hex digits>/; nothing is made on disk yet. Both folders are
  // made 0700 and entered without following links (a link in the place of
  // one fails the write); copies are 0600, the library a task names 0700. `context`, `peer`
  // and `agentInterface` are borrowed for the cache's life; `session` is
  // the session identity handed to EndSession.
  TFileCache(const TAgentContext& context, TAgentPeer& peer, void* session, IAgent* agentInterface);
  // ClearCache.
  ~TFileCache();
  TFileCache(const TFileCache&) = delete;
  TFileCache& operator=(const TFileCache&) = delete;

  // A task's library text (decoded): one name, or a comma list whose first
  // item is the library and whose other items are files it needs beside it
  // (all fetched and written last to first). The loaded library, or null.
  // A file is asked for only once its copy can be made; one the user
  // refuses, or whose transfer fails, leaves nothing on disk. With trusted
  // keys set, each file is fetched after its signature (<name>.minisig) and
  // checked as it arrives: one that is not signed by a trusted key leaves
  // nothing on disk either. `refusal`, when given, says why no library was
  // answered where there is more to say than that it did not load: the
  // connection failing mid-file, a full disk, memory, a signature.
  void* GetLibrary(const std::string& libraryText, TLibraryRefusal* refusal = nullptr) EXCLUDES(Lock);

  // Loads the local copy of entry `index`; the entry must not be loaded
  // yet. A library that does not load leaves Module null and logs the
  // loader's reason.
  void LoadEntryLibrary(int index) EXCLUDES(Lock);

  // Calls "EndSession" (else "_EndSession") of every loaded library, in
  // order. Only once no pool thread is left; no lock is held while they run
  // (they may call back into the agent: GetData, FreeData).
  void CallEndSession() EXCLUDES(Lock);

  // Copies the session folder and a zero byte to `buffer`, which has room
  // for KELVRA_SESSION_FOLDER_MAX bytes (a longer path is cut). Any thread.
  char* CopyCacheFolder(char* buffer) const;
  const std::string& GetCacheFolder() const { return CacheFolder; }

  // Unloads the libraries, deletes everything in the session folder (links
  // deleted, never followed) and removes it, then the user's folder above it
  // when empty. Failures are ignored.
  void ClearCache() EXCLUDES(Lock);

 private:
  // The index of the entry of `name` (letter case ignored); when new, its
  // copy is fetched from the user straight into the session folder, 0700
  // when it is the `library`, else 0600. -1 (logged) when no copy was made;
  // `refusal` as GetLibrary's.
  int FindOrFetchLocked(const std::string& name, bool library, TLibraryRefusal* refusal) REQUIRES(Lock);
  // With trusted keys set: fetches the signature of the file `key` and
  // starts `check` on it. A failure is the refusal to report (Unsigned, or
  // Unreceived when the transfer failed); `name` as the task spelled it.
  TLibraryRefusal StartCheckLocked(const std::string& name, const std::string& key, TTrustedKeys::TCheck& check)
      REQUIRES(Lock);
  // Whether a copy can be written at `local` (for the entry `key`): the
  // name is a file of the session folder, the folders are made, and no
  // library is loaded from that path. Says why not in the log.
  bool PrepareCopyLocked(const std::string& local, const std::string& key) REQUIRES(Lock);
  void LoadEntryLibraryLocked(int index) REQUIRES(Lock);

  // CacheFolder + `spelling` flattened (":", "\" and "/" become "_"), or
  // empty when that is no file name of the folder ("", ".", "..").
  std::string LocalNameFor(const std::string& spelling) const;
  std::string UserFolder() const;
  // The session folder below the temporary folder: "<user address>/<session>".
  std::string OwnFolder() const;

  // Constant after construction.
  const TAgentContext& Context;  // borrowed
  TAgentPeer& Peer;              // borrowed
  void* const Session;           // the session identity, opaque
  IAgent* const AgentInterface;  // borrowed; handed to EndSession
  const std::string CacheFolder;

  // Held for a whole GetLibrary, across the peer's exchanges.
  TMutex Lock;
  // Only appended to (until ClearCache), so an index stays valid.
  std::vector<TFileCacheEntry> Entries GUARDED_BY(Lock);
  // Whether this cache made (or found as real folders) its session folder;
  // only then is anything removed at its end.
  bool FoldersMade GUARDED_BY(Lock) = false;
};
