// SPDX-License-Identifier: Apache-2.0
// RunStatusWindow: the agent's life with the status window and the icon,
// knowing the agent only as an IStatusSource that owns it. Makes (or
// reuses) the QApplication and the Qt main-thread hand-over, has the source
// made on that hand-over, shows the icon (the window stays hidden unless
// asked, or unless there is no notification area to hold the icon), runs
// the event loop until Exit, a shutdown request or the end of the desktop
// session, then destroys the source (and with it the agent) while serving
// hand-overs. Main thread only. This header names no Qt type: the agent's
// side of the window module includes it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Agent/I_MainThread.h"
#include "Gui/I_StatusSource.h"

struct TWindowedOptions {
  // Show the window at start instead of only the icon.
  bool ShowWindow = false;
  // Whether the desktop has a notification area; empty: ask Qt. Without one
  // the window is shown at start and closing it minimises it.
  std::optional<bool> TrayAvailable;
  // Polled every 200 ms on the main thread; true acts as Exit (the caller's
  // SIGTERM, SIGINT and SIGHUP flag). May be empty.
  std::function<bool()> ShutdownRequested;
  // Shows why the agent could not be made; empty: a message box.
  std::function<void(const std::string&)> ShowError;
};

// Makes the agent on the main-thread hand-over it is given (which outlives
// the answer) and answers what the window shows of it; destroying the
// answer destroys the agent.
using TStatusSourceMaker = std::function<std::unique_ptr<IStatusSource>(IMainThread&)>;

// Answers 0 after a normal end, 1 when the agent could not be made (its
// error written to standard error and shown first). Errors while the agent
// runs or is destroyed propagate.
int RunStatusWindow(int& argc, char** argv, const TStatusSourceMaker& makeSource, const TWindowedOptions& options);
