// SPDX-License-Identifier: Apache-2.0
// TTaskGuard: calls into task code (a task procedure on a pool thread,
// EndSession on the worker) so that a processor fault it raises (SIGSEGV,
// SIGBUS, SIGFPE, SIGILL), its own abort() (SIGABRT) or a C++ exception it
// throws fails the call (a TStatus) instead of ending the process; outside
// task code these signals keep their default action. Everything is per
// thread: a thread calls PrepareThread before its first guarded call; an
// agent slot called by task code holds a TDisarm, so a fault in the agent's
// own code is fatal. A fault's text names where it happened (module,
// offset, function), and its registers and backtrace stay for a report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Platform/T_Status.h"

struct IAgent;
struct IGenericStream;

class TTaskGuard {
 public:
  using TTaskProcedure = uint32_t (*)(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out);
  using TEndSessionProcedure = void (*)(IAgent* agent, void* session);

  // Readies the calling thread, once (later calls do nothing): installs the
  // process's fault handlers on first use, gives the thread an alternate
  // signal stack (keeping one of kMinimumAltStack bytes or more already in
  // place), unblocks the fault signals and loads the task floating-point
  // state (TaskFloatingPoint.h). Fails when the handlers cannot be put in
  // force or the stack cannot be made ("Unable to map a signal stack: Cannot
  // allocate memory"); a later call tries again.
  static TStatus PrepareThread();

  // Guarded calls. Each answers ok when task code returned, else a failure
  // whose text (the reason, no context) is a fault named as in FaultText
  // (T_TaskGuard.cpp), the what() of an exception, or "Unknown error" for
  // any other exception. A thread not yet prepared is prepared first; if that
  // fails, its failure is answered and task code is not called. Nesting
  // works: a guarded call made inside a TDisarm scope inside another guarded
  // call catches its own faults, and each call leaves the thread armed or
  // disarmed as it found it.
  static TStatus CallTask(TTaskProcedure procedure, IAgent* agent, void* session, IGenericStream* in,
                          IGenericStream* out, uint32_t& result) noexcept;
  static TStatus CallEndSession(TEndSessionProcedure procedure, IAgent* agent, void* session) noexcept;
  // The general form: call(context). Between the guard's sigsetjmp and task
  // code there are only frames without destructors, and an exception from
  // task code is caught right above it: a fault's jump skips task frames
  // only, an exception never reaches the jump's frame. `call` itself must
  // follow the same rule (plain data only) up to the task code it calls.
  static TStatus Call(void (*call)(void* context), void* context) noexcept;

  // What the handler saw of a processor fault or abort in task code.
  struct TFaultRecord {
    int Signal = 0;
    int Code = 0;            // si_code
    uintptr_t Address = 0;   // si_addr
    std::vector<std::pair<const char*, uint64_t>> Registers;  // name, value
    // Innermost first: the faulting instruction, then the return address of
    // each caller, as far as the unwinder could safely go.
    std::vector<uintptr_t> Frames;
  };
  // The record of the calling thread's last guarded call, when a fault or
  // an abort ended it (not an exception); none otherwise.
  static std::optional<TFaultRecord> LastFault() noexcept;

  // True while the calling thread runs task code: inside a guarded call and
  // not in a TDisarm scope.
  static bool Armed() noexcept;

  // From now on an abort() of task code ends the process with SIGABRT
  // instead of failing the call: for a process that serves one session
  // alone, where the C library's abort on a damaged heap (a double free)
  // must not leave the session running on that heap, nor its lock held.
  // Processor faults are still caught. Set once, before the first task.
  static void MakeAbortFatal() noexcept;
  // From now on `caught` runs on the faulting thread as soon as the guard
  // is back from a fault, before anything is allocated for its text: the
  // fault may have left the heap's lock held, and whoever watches the
  // process learns of the fault even if the thread then waits for ever.
  // `caught` must not allocate. Set once, before the first task.
  static void NotifyCaughtFaults(void (*caught)(int signal)) noexcept;

  // Disarms the calling thread for its life and restores the state it found.
  // Held by every agent slot called by task code, around the slot's body.
  // A C++ exception of task code is also handled disarmed: its what() and
  // destructor run in the guard's catch, and a fault there is fatal.
  class TDisarm {
   public:
    TDisarm() noexcept;
    ~TDisarm();
    TDisarm(const TDisarm&) = delete;
    TDisarm& operator=(const TDisarm&) = delete;

   private:
    bool WasArmed;
  };

  // An alternate stack a thread already has is kept when at least this big.
  static constexpr size_t kMinimumAltStack = 16 * 1024;
  // The size of the stack PrepareThread makes (a guard page lies below it).
  static constexpr size_t kAltStackSize = 64 * 1024;
  // The most frames a fault's backtrace holds.
  static constexpr int kMaxFrames = 64;
};
