// SPDX-License-Identifier: Apache-2.0
// IDebugSink: where the debug log and the framing error lines go. Each Write
// delivers one message whole (lines of different threads never interleave).
// Any thread may call it.
#pragma once

#include <string_view>

class IDebugSink {
 public:
  virtual ~IDebugSink() = default;

  // Hands one message to the debug-output channel, exactly as given; the
  // channel adds its own line end.
  virtual void Write(std::string_view message) = 0;

  // The desktop's default beep; nothing where there is no desktop.
  virtual void Beep() = 0;
};
