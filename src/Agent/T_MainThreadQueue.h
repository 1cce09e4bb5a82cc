// SPDX-License-Identifier: Apache-2.0
// TMainThreadQueue: IMainThread for a main thread that runs its own poll
// loop (the headless runner): requests queue up, the loop waits on
// WakeDescriptor() and runs them with ServePending(). The thread that
// creates the queue is the main thread.
//
// Lock order (Agent/LockOrder.h): the queue lock is a leaf; calls run
// without it held.
#pragma once

#include <deque>
#include <exception>
#include <thread>

#include "Agent/I_MainThread.h"
#include "Platform/T_Condition.h"
#include "Platform/T_Mutex.h"
#include "Platform/T_WakeDescriptor.h"

class TMainThreadQueue : public IMainThread {
 public:
  TMainThreadQueue();
  TMainThreadQueue(const TMainThreadQueue&) = delete;
  TMainThreadQueue& operator=(const TMainThreadQueue&) = delete;

  void RunSynchronously(const std::function<void()>& call) override EXCLUDES(Lock);
  void ServeUntil(const std::function<bool()>& done) override EXCLUDES(Lock);
  void Wake() override { Wakeup.Signal(); }

  // Main thread: runs every request waiting now.
  void ServePending() EXCLUDES(Lock);

  // Readable while requests (or a Wake) wait for the main thread.
  int WakeDescriptor() const { return Wakeup.Get(); }

 private:
  struct TRequest {
    const std::function<void()>* Call;  // borrowed from the waiting caller
    bool Done = false;
    std::exception_ptr Error = nullptr;
  };

  // Constant after construction.
  const std::thread::id MainThread;

  TWakeDescriptor Wakeup;
  TMutex Lock;
  TCondition Finished;
  std::deque<TRequest*> Pending GUARDED_BY(Lock);  // the requests live on their callers' stacks
};
