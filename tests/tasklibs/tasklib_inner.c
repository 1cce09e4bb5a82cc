/* SPDX-License-Identifier: Apache-2.0
 * A companion that exports a task procedure and an EndSession of its own
 * (announced by freeing a block named "inner EndSession"). A library that
 * links it (tasklib_outer) offers neither. */
#include "I_Agent.h"

uint32_t InnerTask(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session, (void)in;
  out->lpVtbl->Write(out, "inner", 5);
  return 1;
}

void EndSession(IAgent* agent, void* session) { agent->lpVtbl->FreeData(agent, session, "inner EndSession"); }
