// SPDX-License-Identifier: Apache-2.0
// ISystem: facts about the process and its machine, the creation of the
// agent's threads, and per-thread settings that the operating system keeps
// (name, priority, processor affinity). Any thread may call any method; a
// thread is named by its system thread id.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "Platform/T_Status.h"

// A thread as the operating system knows it: the kernel's thread id.
using TSystemThreadId = int32_t;

// The priorities the agent gives its threads. Normal is that of a new
// thread; idle runs only when nothing else wants the processor.
enum TThreadPriority {
  tpIdle,
  tpLowest,
  tpNormal,
  tpAboveNormal,
};

class ISystem {
 public:
  virtual ~ISystem() = default;

  // The current user's data folder: $XDG_DATA_HOME, else $HOME/.local/share,
  // else the home folder of the password database + /.local/share. No
  // trailing separator. Empty when none can be determined.
  virtual std::string DataHome() = 0;

  // The current user's state folder, by the same rules: $XDG_STATE_HOME,
  // else the home folder + /.local/state. Empty when none can be determined.
  virtual std::string StateHome() = 0;

  // Number of processors this process may run on (its affinity set), not
  // capped; 0 when it cannot be determined.
  virtual int AvailableProcessors() = 0;

  // Full path of the running executable; empty when unknown.
  virtual std::string ExecutablePath() = 0;

  // A new thread running `body`, in `thread`; `name` is the name the thread
  // will give itself. Fails when the system refuses (a task or thread limit,
  // no memory): nothing runs then, and the failure reads "cannot make thread
  // <name>: " and the system's reason. Every agent thread is made here
  // (through TThread), so a test can refuse one kind of thread.
  virtual TStatus CreateThread(const std::string& name, std::function<void()> body, std::thread& thread) = 0;

  // Names the calling thread for debuggers and tools (cut to the system's
  // limit). Best effort.
  virtual void SetCurrentThreadName(const std::string& name) = 0;

  // The calling thread's system id.
  virtual TSystemThreadId CurrentThreadId() = 0;

  // Gives `thread` (of this process) the priority. Best effort: fails, and
  // nothing changed, when the system refuses (an ordinary user may lower a
  // priority but not raise it again) or the thread is gone.
  virtual TStatus SetThreadPriority(TSystemThreadId thread, TThreadPriority priority) = 0;

  // The processors 0..31 this process may run on, one bit per processor
  // (bit 0 = processor 0); 0 when none of them is allowed or the set cannot
  // be read.
  virtual uint32_t ProcessAffinityMask() = 0;

  // Lets `thread` (of this process) run only on the processors of `mask`
  // (bits as above). Fails, and nothing changed, when the system refuses.
  virtual TStatus SetThreadAffinityMask(TSystemThreadId thread, uint32_t mask) = 0;

  // Hands the memory the process has freed back to the system; for when
  // the agent has nothing to do (its sessions keep freed task blocks for
  // reuse while they run).
  virtual void ReleaseFreeMemory() = 0;
};
