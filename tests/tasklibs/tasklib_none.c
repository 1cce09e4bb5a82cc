/* SPDX-License-Identifier: Apache-2.0
 * Exports neither EndSession nor _EndSession: a task procedure only. */
#include "I_Agent.h"

uint32_t Nothing(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent;
  (void)session;
  (void)in;
  (void)out;
  return 1;
}
