// SPDX-License-Identifier: Apache-2.0
// WindowingAvailable: whether the agent should show its window, decided
// before any Qt library is loaded (Qt's X platform ends the process when it
// cannot connect). Needs no Qt. Main thread.
#pragma once

#include <string>

// True when a window can be shown: Qt is told which platform to use, a
// Wayland display is named, or the named X display answers. Otherwise the
// agent runs headless; `why` then says why a named X display is not used
// (empty when no display is named at all).
bool WindowingAvailable(std::string& why);
