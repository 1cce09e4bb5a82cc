/* SPDX-License-Identifier: Apache-2.0
 * Exports EndSession only. Each EndSession export of the test libraries
 * tells the agent's interface that it ran: it frees the session's data block
 * named after itself. */
#include "I_Agent.h"

void EndSession(IAgent* agent, void* session) { agent->lpVtbl->FreeData(agent, session, "EndSession"); }
