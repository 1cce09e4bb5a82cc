// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_MainThreadQueue.h"

TMainThreadQueue::TMainThreadQueue() : MainThread(std::this_thread::get_id()) {}

void TMainThreadQueue::RunSynchronously(const std::function<void()>& call) {
  if (std::this_thread::get_id() == MainThread) {
    call();
    return;
  }
  TRequest request{&call, false, nullptr};
  {
    TMutexLock guard(Lock);
    Pending.push_back(&request);
  }
  Wakeup.Signal();
  {
    TMutexLock guard(Lock);
    while (!request.Done) Finished.Wait(Lock);
  }
  if (request.Error) std::rethrow_exception(request.Error);
}

void TMainThreadQueue::ServePending() {
  Wakeup.Drain();
  for (;;) {
    TRequest* request = nullptr;
    {
      TMutexLock guard(Lock);
      if (Pending.empty()) return;
      request = Pending.front();
      Pending.pop_front();
    }
    // An error of the call belongs to its caller (IMainThread): it is
    // raised again on the caller's thread, and the main thread goes on.
    std::exception_ptr error;
    try {
      (*request->Call)();
    } catch (...) {
      error = std::current_exception();
    }
    {
      TMutexLock guard(Lock);
      request->Error = error;
      request->Done = true;
    }
    Finished.NotifyAll();
  }
}

void TMainThreadQueue::ServeUntil(const std::function<bool()>& done) {
  for (;;) {
    ServePending();
    if (done()) return;
    // The time-out is only a safety net: Wake() and new requests end the wait.
    WaitReadable({Wakeup.Get()}, 100);
  }
}
