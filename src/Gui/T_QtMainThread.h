// SPDX-License-Identifier: Apache-2.0
// TQtMainThread: IMainThread over the Qt event loop. A hand-over from
// another thread is posted to the Qt main thread and the caller blocks
// until it has run; ServeUntil processes Qt events until its condition
// holds. Create it on the Qt main thread after the QApplication, destroy it
// there before the QApplication and after every thread that uses it.
#pragma once

#include <QObject>
#include <thread>

#include "Agent/I_MainThread.h"

class TQtMainThread : public IMainThread {
 public:
  TQtMainThread();
  TQtMainThread(const TQtMainThread&) = delete;
  TQtMainThread& operator=(const TQtMainThread&) = delete;

  void RunSynchronously(const std::function<void()>& call) override;
  void ServeUntil(const std::function<bool()>& done) override;
  void Wake() override;

 private:
  // Constant after construction.
  const std::thread::id MainThread;
  // Lives on the main thread: the receiver of posted calls.
  QObject Context;
};
