// ISession: what the agent interface handed to task libraries needs of a
// session: its data blocks, its folder and whether it is ending. The
// session's worker implements it; the session identity a task receives is
// the address of this interface (SessionIdentity / FromIdentity convert).
// Called on pool threads (and on the worker, inside EndSession calls).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "I_GenericStream.h"

class ISession {
 public:
  virtual ~ISession() = default;

  // The opaque value task libraries receive and pass back.
  void* SessionIdentity() { return this; }
  static ISession* FromIdentity(void* identity) { return static_cast<ISession*>(identity); }

  // The data cache's GetData: 0 with a new view in `view`, 1 without (then
  // `view` is left as it was).
  virtual int32_t GetData(const std::string& identifier, IGenericStream*& view) = 0;
  // Drops the blocks with this identifier, or all of them.
  virtual void FreeData(const std::optional<std::string>& identifier) = 0;
  // The session folder, ending in "/".
  virtual std::string SessionFolder() const = 0;
  // True once the session's teardown has begun.
  virtual bool SessionEnding() const = 0;
};
