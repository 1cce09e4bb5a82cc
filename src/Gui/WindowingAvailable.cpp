// SPDX-License-Identifier: Apache-2.0
#include "Gui/WindowingAvailable.h"

#include <cstdlib>

#include "Gui/XDisplayProbe.h"

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
