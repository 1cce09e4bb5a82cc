// RunWindowed: the agent's life with the status window and the icon. Makes
// (or reuses) the QApplication, the Qt main-thread hand-over and the agent,
// shows the icon (the window stays hidden unless asked), runs the event
// loop until Exit, a shutdown request or the end of the desktop session,
// then destroys the agent while serving hand-overs. Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Agent/I_MainThread.h"
#include "Agent/T_Agent.h"

struct TWindowedOptions {
  // Show the window at start instead of only the icon.
  bool ShowWindow = false;
  // Polled every 200 ms on the main thread; true acts as Exit (the caller's
  // SIGTERM, SIGINT and SIGHUP flag). May be empty.
  std::function<bool()> ShutdownRequested;
  // Shows why the agent could not be made; empty: a message box.
  std::function<void(const std::string&)> ShowError;
};

// True when a window can be shown: a display (X11 or Wayland) is named, or
// Qt is told which platform to use. Without one the agent runs headless.
bool WindowingAvailable();

// Builds the agent with `makeAgent` on the hand-over it is given (which
// outlives the agent). Answers 0 after a normal end, 1 when the agent could
// not be made (its error shown first). Errors while the agent runs or is
// destroyed propagate.
int RunWindowed(int& argc, char** argv, const std::function<std::unique_ptr<TAgent>(IMainThread&)>& makeAgent,
                const TWindowedOptions& options = {});
