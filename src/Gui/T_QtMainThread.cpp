// SPDX-License-Identifier: Apache-2.0
#include "Gui/T_QtMainThread.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <exception>

TQtMainThread::TQtMainThread() : MainThread(std::this_thread::get_id()) {}

void TQtMainThread::RunSynchronously(const std::function<void()>& call) {
  if (std::this_thread::get_id() == MainThread) {
    call();
    return;
  }
  // The call runs inside Qt's event delivery, where no exception may pass:
  // it is carried back to the caller instead.
  std::exception_ptr error;
  QMetaObject::invokeMethod(
      &Context,
      [&call, &error] {
        try {
          call();
        } catch (...) {
          error = std::current_exception();
        }
      },
      Qt::BlockingQueuedConnection);
  if (error) std::rethrow_exception(error);
}

void TQtMainThread::ServeUntil(const std::function<bool()>& done) {
  // Wake() and every hand-over post an event that ends the wait; the timer
  // is only a safety net.
  QTimer safetyNet;
  safetyNet.start(100);
  while (!done()) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void TQtMainThread::Wake() {
  // An empty posted call: a waiting processEvents returns after it.
  QMetaObject::invokeMethod(&Context, [] {}, Qt::QueuedConnection);
}
