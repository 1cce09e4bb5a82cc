// ISystem: facts about the process and its machine, and per-thread settings
// that the operating system keeps. Any thread may call any method.
#pragma once

#include <string>

class ISystem {
 public:
  virtual ~ISystem() = default;

  // The current user's data folder: $XDG_DATA_HOME, else $HOME/.local/share,
  // else the home folder of the password database + /.local/share. No
  // trailing separator. Empty when none can be determined.
  virtual std::string DataHome() = 0;

  // Number of processors this process may run on (its affinity set), not
  // capped; 0 when it cannot be determined.
  virtual int AvailableProcessors() = 0;

  // Full path of the running executable; empty when unknown.
  virtual std::string ExecutablePath() = 0;

  // Names the calling thread for debuggers and tools (cut to the system's
  // limit). Best effort.
  virtual void SetCurrentThreadName(const std::string& name) = 0;
};
