/* SPDX-License-Identifier: Apache-2.0
 * Exports _EndSession only. */
#include "I_Agent.h"

void _EndSession(IAgent* agent, void* session) { agent->lpVtbl->FreeData(agent, session, "_EndSession"); }
