// SPDX-License-Identifier: Apache-2.0
// kelvra-window-shot: runs a real agent core with the status window shown,
// waits for the window's first refreshes and saves the window as a PNG.
//   kelvra-window-shot OUTPUT.png SETTINGS.INI
// Used by tools/screenshot-window.sh under Xvfb.

#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <cstdio>
#include <exception>
#include <memory>

#include "Agent/T_Agent.h"
#include "Gui/T_AgentStatusSource.h"
#include "Gui/T_Form1.h"
#include "Gui/T_QtMainThread.h"
#include "Platform/T_Platform.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "Usage: kelvra-window-shot OUTPUT.png SETTINGS.INI\n");
    return 2;
  }
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  const QString output = QString::fromLocal8Bit(argv[1]);
  try {
    TQtMainThread mainThread;
    auto agent = std::make_unique<TAgent>(TPlatform::Linux(), argv[2], mainThread);
    TAgentStatusSource source(*agent);
    TForm1 form(source, [] { QCoreApplication::quit(); }, true);
    form.ShowStatus();
    bool saved = false;
    // After two refreshes, so the labels show measured values.
    QTimer::singleShot(2500, &form, [&] {
      saved = form.grab().save(output, "PNG");
      form.ExitAndClose();
    });
    QApplication::exec();
    agent.reset();
    if (!saved) {
      std::fprintf(stderr, "kelvra-window-shot: cannot write %s\n", argv[1]);
      return 1;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kelvra-window-shot: %s\n", error.what());
    return 1;
  }
  return 0;
}
