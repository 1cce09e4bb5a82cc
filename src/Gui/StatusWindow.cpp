// SPDX-License-Identifier: Apache-2.0
#include "Gui/StatusWindow.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#ifndef QT_NO_SESSIONMANAGER
#include <QSessionManager>
#endif
#include <QSystemTrayIcon>
#include <cstdio>
#include <exception>

#include "Gui/T_Form1.h"
#include "Gui/T_QtMainThread.h"

namespace {

constexpr int kShutdownPollMs = 200;

// Qt's own quit (the session manager ending the application without a
// commit request) first asks every visible window to close, and the status
// window refuses unless the agent exits: while it shows, the quit would be
// dropped. Seen first, the quit acts as Exit.
class TQuitActsAsExit : public QObject {
 public:
  explicit TQuitActsAsExit(TForm1& form) : Form(form) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == qApp && event->type() == QEvent::Quit && !Form.ExitFlag()) Form.ExitAndClose();
    return false;
  }

 private:
  TForm1& Form;  // borrowed; the filter is removed before the window goes
};

}  // namespace

int RunStatusWindow(int& argc, char** argv, const TStatusSourceMaker& makeSource, const TWindowedOptions& options) {
  // A QApplication that already exists (tests) is used as it is.
  std::unique_ptr<QApplication> ownApplication;
  if (QCoreApplication::instance() == nullptr) ownApplication = std::make_unique<QApplication>(argc, argv);
  // Hidden, closed and message windows never end the agent: only Exit does.
  QApplication::setQuitOnLastWindowClosed(false);

  TQtMainThread mainThread;
  std::unique_ptr<IStatusSource> source;
  try {
    source = makeSource(mainThread);
  } catch (const std::exception& error) {
    // Also where a log or a service manager sees it.
    std::fprintf(stderr, "kelvra-agent: %s\n", error.what());
    if (options.ShowError) {
      options.ShowError(error.what());
    } else {
      QMessageBox::critical(nullptr, QStringLiteral("kelvra agent"), QString::fromLocal8Bit(error.what()));
    }
    return 1;
  }

  bool closed = false;
  const bool tray = options.TrayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable());
  auto form = std::make_unique<TForm1>(
      *source,
      [&closed] {
        closed = true;
        QCoreApplication::quit();
      },
      tray);

#ifndef QT_NO_SESSIONMANAGER
  // The end of the desktop session closes the agent without asking. The
  // session manager's commit request comes first and while the loop still
  // runs, so the agent goes down in order rather than being killed later.
  QObject::connect(qApp, &QGuiApplication::commitDataRequest, form.get(),
                   [&form](QSessionManager&) { form->ExitAndClose(); });
#endif

  TQuitActsAsExit quitFilter(*form);
  qApp->installEventFilter(&quitFilter);

  QTimer shutdownPoll;
  if (options.ShutdownRequested) {
    QObject::connect(&shutdownPoll, &QTimer::timeout, form.get(), [&form, &options] {
      if (options.ShutdownRequested()) form->ExitAndClose();
    });
    shutdownPoll.start(kShutdownPollMs);
  }
  // Without a notification area the window is the only way in.
  if (options.ShowWindow || !tray) form->ShowStatus();

  QApplication::exec();
  // Any other end of the loop (the session manager ending the application
  // without a commit request) acts as Exit too.
  if (!closed) form->ExitAndClose();
  qApp->removeEventFilter(&quitFilter);
  shutdownPoll.stop();
  form.reset();
  // The status thread and the broadcast listener may wait for a hand-over
  // while the agent goes down; it serves them through mainThread.
  source.reset();
  return 0;
}
