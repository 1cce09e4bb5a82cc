// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_StderrDebugSink.h"

#include <unistd.h>

#include <string>

#include "Platform/PosixCalls.h"

void TStderrDebugSink::Write(std::string_view message) {
  std::string line;
  line.reserve(message.size() + 1);
  line.append(message);
  line.push_back('\n');
  // One write(2) for the whole line; a failure has nowhere to be reported.
  (void)WriteAll(STDERR_FILENO, line.data(), line.size());
}
