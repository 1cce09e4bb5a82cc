// SPDX-License-Identifier: Apache-2.0
// `kelvra-monitor --status`: the agents of a monitor as a terminal table.
#pragma once

#include <string>

#include "Monitor/AgentsJson.h"

// One header line, then one line per agent: address, name, processors,
// pool, load %, agent %, free memory, last report age, status text (lost
// agents say "lost: <reason>"); the last line counts agents up and lost.
std::string FormatStatusTable(const TAgentList& list);
