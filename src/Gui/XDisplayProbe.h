// SPDX-License-Identifier: Apache-2.0
// XDisplayProbe: asks whether an X server answers on a display before Qt is
// started, since Qt ends the process when its X platform cannot connect.
// libxcb (the library Qt's X platform uses) is loaded for the probe and the
// connection it makes is closed at once. Any thread.
#pragma once

#include <string>

// True when a connection to the X display `display` (a DISPLAY value) is
// accepted. Otherwise false, with `why` saying what failed.
bool XDisplayAnswers(const std::string& display, std::string& why);
