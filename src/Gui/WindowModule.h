// SPDX-License-Identifier: Apache-2.0
// The window module's one entry point. kelvra-agent-window.so holds the
// status window, the icon and every tie to Qt; the agent process loads it
// only when a window is to be shown (TWindowModule) and finds the entry by
// its name. The call crosses as C: one pointer to a TStatusWindowCall,
// whose members the caller owns for the length of the call.
#pragma once

#include "Gui/StatusWindow.h"

struct TStatusWindowCall {
  int* Argc = nullptr;
  char** Argv = nullptr;
  const TStatusSourceMaker* MakeSource = nullptr;
  const TWindowedOptions* Options = nullptr;
};

// The entry's exported name and type: runs RunStatusWindow with the call's
// arguments and answers what it answers (errors propagate as from it).
inline constexpr const char* kWindowModuleEntry = "kelvra_run_status_window";
using TWindowModuleEntry = int (*)(const TStatusWindowCall* call);
