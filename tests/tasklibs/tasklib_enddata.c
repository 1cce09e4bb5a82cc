/* SPDX-License-Identifier: Apache-2.0
 * A task library whose EndSession calls back into the agent for data: it
 * fetches the block "EndSessionData" from the user (GET_DATA) and then drops
 * it again, as a library that saves its state at the session's end would. */
#include <stddef.h>

#include "I_Agent.h"

uint32_t Nothing(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session, (void)in, (void)out;
  return 1;
}

void EndSession(IAgent* agent, void* session) {
  IGenericStream* block = NULL;
  if (agent->lpVtbl->GetData(agent, session, "EndSessionData", &block) == 0) block->lpVtbl->Release(block);
  agent->lpVtbl->FreeData(agent, session, "EndSessionData");
}
