/* SPDX-License-Identifier: Apache-2.0
 * A main library whose export calls into its companion (tasklib_part), and
 * a task procedure that needs it. */
#include <stdint.h>

#include "I_Agent.h"

int32_t PartValue(void);

int32_t MainValue(void) { return PartValue() + 1; }

/* Copies the input to the output, once the companion has answered. */
uint32_t PartEcho(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session;
  if (PartValue() != 41) return 0;
  char buffer[4096];
  int32_t got;
  while ((got = in->lpVtbl->Read(in, buffer, (int32_t)sizeof buffer)) > 0) out->lpVtbl->Write(out, buffer, got);
  return 1;
}
