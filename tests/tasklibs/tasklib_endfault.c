/* SPDX-License-Identifier: Apache-2.0
 * A task library whose EndSession faults: the agent must survive it. */
#include <stddef.h>

#include "I_Agent.h"

uint32_t Nothing(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session, (void)in, (void)out;
  return 1;
}

void EndSession(IAgent* agent, void* session) {
  (void)agent, (void)session;
  volatile int* volatile target = NULL;
  *target = 1;
}
