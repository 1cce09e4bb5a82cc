// SPDX-License-Identifier: Apache-2.0
// TStderrDebugSink: the debug-output channel on standard error. Each message
// goes out in one write(2) together with a closing line feed, so concurrent
// lines never interleave. No beep: there is no desktop here.
#pragma once

#include "Platform/I_DebugSink.h"

class TStderrDebugSink : public IDebugSink {
 public:
  void Write(std::string_view message) override;
  void Beep() override {}
};
