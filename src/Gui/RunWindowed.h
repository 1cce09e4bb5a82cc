// RunWindowed: the agent's life with the status window and the icon. Makes
// (or reuses) the QApplication, the Qt main-thread hand-over and the agent,
// shows the icon (the window stays hidden unless asked, or unless there is
// no notification area to hold the icon), runs the event loop until Exit, a
// shutdown request or the end of the desktop session, then destroys the
// agent while serving hand-overs. Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Agent/I_MainThread.h"
#include "Agent/T_Agent.h"

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

// True when a window can be shown: Qt is told which platform to use, a
// Wayland display is named, or the named X display answers. Otherwise the
// agent runs headless; `why` then says why a named X display is not used
// (empty when no display is named at all).
bool WindowingAvailable(std::string& why);

// Builds the agent with `makeAgent` on the hand-over it is given (which
// outlives the agent). Answers 0 after a normal end, 1 when the agent could
// not be made (its error written to standard error and shown first). Errors while the agent runs or is
// destroyed propagate.
int RunWindowed(int& argc, char** argv, const std::function<std::unique_ptr<TAgent>(IMainThread&)>& makeAgent,
                const TWindowedOptions& options = {});
