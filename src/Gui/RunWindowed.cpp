#include "Gui/RunWindowed.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#ifndef QT_NO_SESSIONMANAGER
#include <QSessionManager>
#endif
#include <QSystemTrayIcon>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "Gui/T_AgentStatusSource.h"
#include "Gui/T_Form1.h"
#include "Gui/T_QtMainThread.h"
#include "Gui/XDisplayProbe.h"

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

bool WindowingAvailable(std::string& why) {
  auto named = [](const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::string(value) : std::string();
  };
  if (!named("QT_QPA_PLATFORM").empty() || !named("WAYLAND_DISPLAY").empty()) return true;
  const std::string display = named("DISPLAY");
  if (display.empty()) return false;
  // Qt's X platform ends the process when it cannot connect: ask first.
  std::string failure;
  if (XDisplayAnswers(display, failure)) return true;
  why = "cannot open the X display \"" + display + "\" (" + failure + "); running headless";
  return false;
}

int RunWindowed(int& argc, char** argv, const std::function<std::unique_ptr<TAgent>(IMainThread&)>& makeAgent,
                const TWindowedOptions& options) {
  // A QApplication that already exists (tests) is used as it is.
  std::unique_ptr<QApplication> ownApplication;
  if (QCoreApplication::instance() == nullptr) ownApplication = std::make_unique<QApplication>(argc, argv);
  // Hidden, closed and message windows never end the agent: only Exit does.
  QApplication::setQuitOnLastWindowClosed(false);

  TQtMainThread mainThread;
  std::unique_ptr<TAgent> agent;
  try {
    agent = makeAgent(mainThread);
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

  TAgentStatusSource source(*agent);
  bool closed = false;
  const bool tray = options.TrayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable());
  auto form = std::make_unique<TForm1>(
      source,
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
  // while the agent goes down; TAgent serves them through mainThread.
  agent.reset();
  return 0;
}
