/* SPDX-License-Identifier: Apache-2.0
 * Task procedures for the tests of the user's side: an echo that takes its
 * time (so that an agent can be stopped while it holds tasks) and an echo
 * that fails on inputs that begin with "fail". */
#define _POSIX_C_SOURCE 200809L
#include <string.h>
#include <time.h>

#include "I_Agent.h"

static void CopyInput(IGenericStream* in, IGenericStream* out) {
  char buffer[4096];
  int32_t got;
  while ((got = in->lpVtbl->Read(in, buffer, (int32_t)sizeof buffer)) > 0) out->lpVtbl->Write(out, buffer, got);
}

/* Copies the input to the output after 20 ms. */
uint32_t SlowEcho(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session;
  struct timespec pause = {0, 20 * 1000 * 1000};
  nanosleep(&pause, NULL);
  CopyInput(in, out);
  return 1;
}

/* Copies the input to the output; answers false for an input that begins
 * with "fail". */
uint32_t EchoUnlessFail(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session;
  const int32_t size = in->lpVtbl->GetSize(in);
  if (size >= 4 && memcmp(in->lpVtbl->GetBasePointer(in), "fail", 4) == 0) return 0;
  CopyInput(in, out);
  return 1;
}
