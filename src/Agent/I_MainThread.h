// SPDX-License-Identifier: Apache-2.0
// IMainThread: how other threads have a call run on the main thread (the
// processor meter and the broadcast handler must run there), provided by
// whoever owns the main thread: the headless runner or the window.
#pragma once

#include <functional>

class IMainThread {
 public:
  virtual ~IMainThread() = default;

  // Runs `call` on the main thread and returns once it has run; on the main
  // thread itself it runs at once. An error raised by `call` reaches the
  // caller. Any thread.
  virtual void RunSynchronously(const std::function<void()>& call) = 0;

  // Main thread only: serves hand-overs until `done()` answers true. Used
  // while the main thread waits for a thread that may itself be waiting for
  // a hand-over (shutdown). `done` is looked at again after each Wake().
  virtual void ServeUntil(const std::function<bool()>& done) = 0;

  // Any thread: makes a ServeUntil look at its condition again.
  virtual void Wake() = 0;
};
