// SPDX-License-Identifier: Apache-2.0
// TThread: the life every agent thread has. Its owner constructs it (not
// running), starts it once with a body, may ask it to stop, and waits for it,
// with or without a time bound. The thread is made through ISystem (so a test
// can refuse it), names itself, blocks the shutdown signals (they belong to
// the main thread), catches everything its body raises at its top frame, and
// marks itself finished on every way out of the body.
//
// Threads: the owner's thread starts and joins; RequestStop, StopRequested
// and Finished work from any thread, the body included. A stop request only
// sets the flag: the owner also wakes the body from whatever it waits on.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "Platform/I_DebugSink.h"
#include "Platform/I_System.h"
#include "Platform/T_Event.h"
#include "Platform/T_Status.h"

class TThread {
 public:
  explicit TThread(std::string name);
  // Joins the thread (without a time bound) if its owner has not.
  ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Runs `body` on a new thread made by `system`; an error escaping `body` is
  // written to `debug` (both borrowed for the thread's life). `onFinished`,
  // when given, runs on the thread right after it has been marked finished
  // (to wake an owner that waits elsewhere). Once per object: a second start
  // is a programming error (std::logic_error). Fails, with the system's
  // reason, when the system cannot make the thread; the object then stays
  // finished.
  TStatus TryStart(ISystem& system, IDebugSink& debug, std::function<void()> body,
                   std::function<void()> onFinished = nullptr);
  // TryStart, raising std::system_error with the system's reason when the
  // thread cannot be made: for an owner that starts its thread while it is
  // being built, so that an object without its thread is never built.
  void Start(ISystem& system, IDebugSink& debug, std::function<void()> body,
             std::function<void()> onFinished = nullptr);

  void RequestStop() { StopFlag.store(true, std::memory_order_release); }
  bool StopRequested() const { return StopFlag.load(std::memory_order_acquire); }

  // True while no body runs: before Start, after a Start that failed, and
  // once the body has been left by any way. The owner may then rely on
  // everything the body wrote.
  bool Finished() const { return Ended.IsSet(); }

  // Waits at most `timeoutMs` for the thread to finish; true (and the
  // thread joined) when it has, false when it still runs. Owner's thread.
  bool Join(int timeoutMs);
  // Waits without a time bound. Owner's thread.
  void Join() { Join(kInfiniteWait); }

  const std::string& Name() const { return ThreadName; }

 private:
  // Constant after construction.
  const std::string ThreadName;

  // Set by any thread, read by the body. Release/acquire: a body that leaves
  // its loop on seeing the flag, without waiting on the owner's wake-up, may
  // rely on what the owner wrote before asking it to stop.
  std::atomic<bool> StopFlag{false};
  // Manual-reset, set while no body runs; its lock publishes the body's
  // writes to whoever sees it set.
  mutable TEvent Ended{true, true};
  // The owner's thread's.
  std::thread Thread;
  bool StartedOnce = false;
};
