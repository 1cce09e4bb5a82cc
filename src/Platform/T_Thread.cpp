#include "Platform/T_Thread.h"

#include <cxxabi.h>
#include <pthread.h>

#include <csignal>
#include <exception>
#include <stdexcept>

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

}  // namespace

TThread::TThread(std::string name) : ThreadName(std::move(name)) {}

TThread::~TThread() { Join(); }

void TThread::Start(ISystem& system, IDebugSink& debug, std::function<void()> body,
                    std::function<void()> onFinished) {
  if (StartedOnce) throw std::logic_error("TThread: " + ThreadName + " started twice");
  StartedOnce = true;
  Ended.Reset();
  // The new thread inherits the mask in force while it is created.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  for (int number : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&blocked, number);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  try {
    Thread = system.CreateThread(ThreadName, [this, &system, &debug, body = std::move(body),
                                              onFinished = std::move(onFinished)] {
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
    });
  } catch (...) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    Ended.Set();
    throw;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

bool TThread::Join(int timeoutMs) {
  if (!Ended.Wait(timeoutMs)) return false;
  // Marked finished just before the thread function returns: this join is
  // short.
  if (Thread.joinable()) Thread.join();
  return true;
}
