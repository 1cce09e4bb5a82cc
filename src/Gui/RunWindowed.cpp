#include "Gui/RunWindowed.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#ifndef QT_NO_SESSIONMANAGER
#include <QSessionManager>
#endif
#include <cstdlib>
#include <exception>

#include "Gui/T_AgentStatusSource.h"
#include "Gui/T_Form1.h"
#include "Gui/T_QtMainThread.h"

namespace {
constexpr int kShutdownPollMs = 200;
}

bool WindowingAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
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
    if (options.ShowError) {
      options.ShowError(error.what());
    } else {
      QMessageBox::critical(nullptr, QStringLiteral("kelvra agent"), QString::fromLocal8Bit(error.what()));
    }
    return 1;
  }

  TAgentStatusSource source(*agent);
  bool closed = false;
  auto form = std::make_unique<TForm1>(source, [&closed] {
    closed = true;
    QCoreApplication::quit();
  });

#ifndef QT_NO_SESSIONMANAGER
  // The end of the desktop session closes the agent without asking. The
  // session manager's commit request comes first and while the loop still
  // runs, so the agent goes down in order rather than being killed later.
  QObject::connect(qApp, &QGuiApplication::commitDataRequest, form.get(),
                   [&form](QSessionManager&) { form->ExitAndClose(); });
#endif

  QTimer shutdownPoll;
  if (options.ShutdownRequested) {
    QObject::connect(&shutdownPoll, &QTimer::timeout, form.get(), [&form, &options] {
      if (options.ShutdownRequested()) form->ExitAndClose();
    });
    shutdownPoll.start(kShutdownPollMs);
  }
  if (options.ShowWindow) form->ShowStatus();

  QApplication::exec();
  // Any other end of the loop (the session manager ending the application
  // without a commit request) acts as Exit too.
  if (!closed) form->ExitAndClose();
  shutdownPoll.stop();
  form.reset();
  // The status thread and the broadcast listener may wait for a hand-over
  // while the agent goes down; TAgent serves them through mainThread.
  agent.reset();
  return 0;
}
