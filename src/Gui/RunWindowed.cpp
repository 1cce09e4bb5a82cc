// SPDX-License-Identifier: Apache-2.0
#include "Gui/RunWindowed.h"

#include "Gui/T_AgentStatusSource.h"

int RunWindowed(int& argc, char** argv, const std::function<std::unique_ptr<TAgent>(IMainThread&)>& makeAgent,
                const TWindowedOptions& options) {
  return RunStatusWindow(argc, argv, OwningStatusSource(makeAgent), options);
}
