// SPDX-License-Identifier: Apache-2.0
// RunWindowed: RunStatusWindow over a maker of the agent core, for a program
// that links the window itself (tests, the window picture tool). The agent
// process reaches the same window through the window module
// (T_WindowModule.h) instead, so that a headless run maps no Qt library.
// Main thread only.
#pragma once

#include <functional>
#include <memory>

#include "Agent/I_MainThread.h"
#include "Agent/T_Agent.h"
#include "Gui/StatusWindow.h"
#include "Gui/WindowingAvailable.h"

// Builds the agent with `makeAgent` on the hand-over it is given (which
// outlives the agent). Answers 0 after a normal end, 1 when the agent could
// not be made (its error written to standard error and shown first). Errors while the agent runs or is
// destroyed propagate.
int RunWindowed(int& argc, char** argv, const std::function<std::unique_ptr<TAgent>(IMainThread&)>& makeAgent,
                const TWindowedOptions& options = {});
