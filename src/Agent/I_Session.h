// SPDX-License-Identifier: Apache-2.0
// ISession: what the agent interface handed to task libraries needs of a
// session: its data blocks, its folder and whether it is ending. The
// session's worker implements it. The session identity a task receives is a
// number the session gets at construction, never handed out again in the
// process (an address would be: the allocator reuses it), so everything
// named after it, the session folder first, is new for every session.
// Called on pool threads (and on the worker, inside EndSession calls);
// FromIdentity from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "I_Agent.h"
#include "I_GenericStream.h"
#include "Platform/T_Status.h"

class ISession {
 public:
  // Registers the session under a new identity.
  ISession();
  // Unregisters it: its identity no longer finds it.
  virtual ~ISession();
  ISession(const ISession&) = delete;
  ISession& operator=(const ISession&) = delete;

  // The opaque value task libraries receive and pass back; never null.
  void* SessionIdentity() const { return Identity; }
  // The session registered under `identity`; null for a value that is no
  // live session's (forged, or of an ended session). The caller makes sure
  // the session outlives its use: a task of the session running, or
  // EndSession.
  static ISession* FromIdentity(void* identity);
  // An identity no session of this process has had or will get, for a
  // session that runs in another process.
  static uintptr_t ReserveIdentity();
  // In a session process: the next session made gets `identity` (reserved
  // by the agent), and later ones count on from it. Before any session.
  static void ContinueIdentitiesFrom(uintptr_t identity);
  // The session folder's name for `identity`: two upper-case hexadecimal
  // digits per byte of a pointer, leading zeros kept.
  static std::string FolderName(const void* identity);

  // Copies `folder` and a zero byte to `buffer`, which has room for
  // KELVRA_SESSION_FOLDER_MAX bytes, as the agent interface promises task
  // authors (a longer path is cut). Answers `buffer`.
  static char* CopyFolderTo(const std::string& folder, char* buffer);

  // The data cache's GetData: ok with a new view in `view`, or with `view`
  // left as it was when the block is not available; a failure (`view` left
  // as it was) fails the task that asked.
  virtual TStatus GetData(const std::string& identifier, IGenericStream*& view) = 0;
  // Drops the blocks with this identifier, or all of them.
  virtual void FreeData(const std::optional<std::string>& identifier) = 0;
  // The session folder, ending in "/".
  virtual std::string SessionFolder() const = 0;
  // True once the session's teardown has begun.
  virtual bool SessionEnding() const = 0;

 private:
  void* const Identity;
};
