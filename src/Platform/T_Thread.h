// TThread: one agent thread with the life every agent thread has: named for
// debuggers, started at construction with the shutdown signals blocked (they
// belong to the main thread), everything its body raises caught at its top
// frame, and joined by its owner. Stopping it is the body's business: the
// owner sets the body's flag, wakes it, then calls Join().
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "Platform/I_DebugSink.h"
#include "Platform/I_System.h"

class TThread {
 public:
  // `system` names the thread; an error escaping `body` is written to
  // `debug` (both borrowed for the thread's life).
  TThread(std::string name, ISystem& system, IDebugSink& debug, std::function<void()> body);
  // Joins the thread if its owner has not.
  ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  void Join();

  // True once the body has returned. Any thread.
  bool Finished() const { return Done.load(std::memory_order_acquire); }

 private:
  // Set (release) by the thread as it leaves its body; read (acquire) by the
  // owner, which may then rely on everything the body wrote.
  std::atomic<bool> Done{false};
  std::thread Thread;
};
