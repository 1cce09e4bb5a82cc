#include "Platform/T_Thread.h"

#include <pthread.h>

#include <csignal>
#include <exception>

TThread::TThread(std::string name, ISystem& system, IDebugSink& debug, std::function<void()> body) {
  // The new thread inherits the mask in force while it is created.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  for (int number : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&blocked, number);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  try {
    Thread = std::thread([this, name = std::move(name), &system, &debug, body = std::move(body)] {
      system.SetCurrentThreadName(name);
      try {
        body();
      } catch (const std::exception& error) {
        debug.Write("Unhandled error in " + name + ": " + error.what());
      } catch (...) {
        debug.Write("Unhandled error in " + name);
      }
      Done.store(true, std::memory_order_release);
    });
  } catch (...) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    throw;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

TThread::~TThread() { Join(); }

void TThread::Join() {
  if (Thread.joinable()) Thread.join();
}
