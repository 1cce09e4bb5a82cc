/* SPDX-License-Identifier: Apache-2.0
 * Exports EndSession and _EndSession; the agent calls only EndSession. */
#include "I_Agent.h"

void EndSession(IAgent* agent, void* session) { agent->lpVtbl->FreeData(agent, session, "EndSession"); }

void _EndSession(IAgent* agent, void* session) { agent->lpVtbl->FreeData(agent, session, "_EndSession"); }
