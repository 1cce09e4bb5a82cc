// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_Thread.h"

#include <cxxabi.h>
#include <pthread.h>

#include <csignal>
#include <exception>
#include <stdexcept>
#include <system_error>

namespace {

// Marks the thread finished however the body is left: a return, an error
// caught at the top frame, or the unwinding of pthread_exit.
class TFinishedMark {
 public:
  TFinishedMark(TEvent& ended, const std::function<void()>& onFinished) : Ended(ended), OnFinished(onFinished) {}
  ~TFinishedMark() {
    Ended.Set();
    if (!OnFinished) return;
    try {
      OnFinished();
    } catch (...) {
      // A wake-up that fails leaves the owner to its own time bound.
    }
  }
  TFinishedMark(const TFinishedMark&) = delete;
  TFinishedMark& operator=(const TFinishedMark&) = delete;

 private:
  TEvent& Ended;
  const std::function<void()>& OnFinished;
};

// While a thread is being made: the shutdown signals are blocked (they
// belong to the main thread, and a new thread inherits the mask in force
// while it is created), and the thread counts as running; it counts as
// finished again on every way out unless it was made.
class TMaking {
 public:
  explicit TMaking(TEvent& ended) : Ended(ended) {
    Ended.Reset();
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int number : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&blocked, number);
    pthread_sigmask(SIG_BLOCK, &blocked, &Previous);
  }
  ~TMaking() {
    pthread_sigmask(SIG_SETMASK, &Previous, nullptr);
    if (!Made) Ended.Set();
  }
  TMaking(const TMaking&) = delete;
  TMaking& operator=(const TMaking&) = delete;

  void Succeeded() { Made = true; }

 private:
  TEvent& Ended;
  sigset_t Previous;
  bool Made = false;
};

}  // namespace

TThread::TThread(std::string name) : ThreadName(std::move(name)) {}

TThread::~TThread() { Join(); }

TStatus TThread::TryStart(ISystem& system, IDebugSink& debug, std::function<void()> body,
                          std::function<void()> onFinished) {
  if (StartedOnce) throw std::logic_error("TThread: " + ThreadName + " started twice");
  StartedOnce = true;
  TMaking making(Ended);
  TStatus made = system.CreateThread(
      ThreadName,
      [this, &system, &debug, body = std::move(body), onFinished = std::move(onFinished)] {
        TFinishedMark mark(Ended, onFinished);
        try {
          system.SetCurrentThreadName(ThreadName);
          body();
        } catch (abi::__forced_unwind&) {
          throw;  // pthread_exit: the thread ends, marked finished on the way
        } catch (const std::exception& error) {
          debug.Write("Unhandled error in " + ThreadName + ": " + error.what());
        } catch (...) {
          debug.Write("Unhandled error in " + ThreadName);
        }
      },
      Thread);
  if (made) making.Succeeded();
  return made;
}

void TThread::Start(ISystem& system, IDebugSink& debug, std::function<void()> body,
                    std::function<void()> onFinished) {
  if (TStatus made = TryStart(system, debug, std::move(body), std::move(onFinished)); !made)
    throw std::system_error(made.Code(), std::generic_category());
}

bool TThread::Join(int timeoutMs) {
  if (!Ended.Wait(timeoutMs)) return false;
  // Marked finished just before the thread function returns: this join is
  // short.
  if (Thread.joinable()) Thread.join();
  return true;
}
