// SPDX-License-Identifier: Apache-2.0
// The only export of kelvra-agent-window.so (the module is built with
// hidden visibility).
#include "Gui/WindowModule.h"

#include <type_traits>

extern "C" __attribute__((visibility("default"))) int kelvra_run_status_window(const TStatusWindowCall* call) {
  return RunStatusWindow(*call->Argc, call->Argv, *call->MakeSource, *call->Options);
}

// The entry has the type the agent looks it up as.
static_assert(std::is_same_v<decltype(&kelvra_run_status_window), TWindowModuleEntry>);
