// SPDX-License-Identifier: Apache-2.0
// The options of an agent core that a test builds in its own process: its
// session processes run the kelvra-agent built with the tests (never the
// test's own executable).
#pragma once

#include "Agent/T_Agent.h"

inline TAgentOptions TestAgentOptions(bool startStatusThread = true) {
  TAgentOptions options;
  options.StartStatusThread = startStatusThread;
  options.SessionProgram = KELVRA_AGENT_PATH;
  return options;
}
