/* SPDX-License-Identifier: Apache-2.0
 * Task procedures for the agent's tests, one per behaviour a task library
 * can show: a result, a false result, floating-point and processor faults,
 * an abort, a wait on ShouldAbort, data blocks (one or many), a slow echo, a paused one, and two that break the
 * stream rules. Faults go through volatile operands so the compiler keeps
 * them. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "I_Agent.h"

/* Copies the input to the output. */
uint32_t Echo(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent;
  (void)session;
  char buffer[4096];
  int32_t got;
  while ((got = in->lpVtbl->Read(in, buffer, (int32_t)sizeof buffer)) > 0) out->lpVtbl->Write(out, buffer, got);
  return 1;
}

/* Echo after a pause of as many milliseconds as the input's leading
 * digits say (at most a minute): a task that runs while the test acts. */
uint32_t PauseEcho(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  char digits[8] = {0};
  in->lpVtbl->Read(in, digits, (int32_t)sizeof digits - 1);
  in->lpVtbl->SetPos(in, 0);
  long ms = strtol(digits, NULL, 10);
  if (ms > 60000) ms = 60000;
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  if (ms > 0) nanosleep(&pause, NULL);
  return Echo(agent, session, in, out);
}

uint32_t ReturnFalse(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session, (void)in, (void)out;
  return 0;
}

/* Only the lowest 8 bits count: this is false. */
uint32_t ReturnHighBitsOnly(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session, (void)in, (void)out;
  return 0x100;
}

/* 1.0 / 0.0 under masked exceptions: an infinity, written as text. */
uint32_t FloatDivide(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session, (void)in;
  volatile double zero = 0.0;
  double result = 1.0 / zero;
  const char* text = result > 1e308 ? "inf" : "finite";
  out->lpVtbl->Write(out, text, (int32_t)strlen(text));
  return 1;
}

uint32_t IntDivide(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session, (void)in, (void)out;
  volatile int zero = 0;
  volatile int dividend = 7;  /* both unknown to the compiler: a real division */
  volatile int result = dividend / zero;
  return (uint32_t)result;
}

uint32_t NullWrite(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session, (void)in, (void)out;
  volatile int* volatile target = NULL;
  *target = 1;
  return 1;
}

/* Ends in abort(), as a failed assert or std::terminate does. */
uint32_t Abort(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session, (void)in, (void)out;
  abort();
}

/* Works until the agent says stop (at most a minute). */
uint32_t WaitForAbort(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)in;
  struct timespec pause = {0, 10 * 1000 * 1000};
  for (int i = 0; i < 6000; ++i) {
    if (agent->lpVtbl->ShouldAbort(agent, session)) {
      out->lpVtbl->Write(out, "aborted", 7);
      return 1;
    }
    nanosleep(&pause, NULL);
  }
  return 0;
}

/* The input names a data block; the output is its bytes. An input that
 * begins with "free:" names a block to drop first and then fetch again. */
uint32_t FetchData(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  char name[256] = {0};
  in->lpVtbl->Read(in, name, (int32_t)sizeof name - 1);
  const char* id = name;
  if (strncmp(name, "free:", 5) == 0) {
    id = name + 5;
    agent->lpVtbl->FreeData(agent, session, id);
  }
  IGenericStream* block = NULL;
  if (agent->lpVtbl->GetData(agent, session, id, &block) != 0) return 0;
  out->lpVtbl->Write(out, block->lpVtbl->GetBasePointer(block), block->lpVtbl->GetSize(block));
  block->lpVtbl->Release(block);
  return 1;
}

/* The input is "PREFIX COUNT": fetches the blocks PREFIX0 .. PREFIX<COUNT-1>
 * one after another, letting go of each at once, and fails unless every one
 * arrives. The output is the total of their sizes in decimal. */
uint32_t FetchMany(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  char text[256] = {0};
  in->lpVtbl->Read(in, text, (int32_t)sizeof text - 1);
  char* blank = strchr(text, ' ');
  if (blank == NULL) return 0;
  *blank = 0;
  const long count = strtol(blank + 1, NULL, 10);
  long long total = 0;
  for (long i = 0; i < count; ++i) {
    char id[300];
    snprintf(id, sizeof id, "%s%ld", text, i);
    IGenericStream* block = NULL;
    if (agent->lpVtbl->GetData(agent, session, id, &block) != 0) return 0;
    total += block->lpVtbl->GetSize(block);
    block->lpVtbl->Release(block);
  }
  char result[32];
  int length = snprintf(result, sizeof result, "%lld", total);
  out->lpVtbl->Write(out, result, length);
  return 1;
}

/* Writes into a read-only data block: the agent refuses and the task fails
 * with the refusal, although the procedure returns true. */
uint32_t WriteReadOnly(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)in, (void)out;
  IGenericStream* block = NULL;
  if (agent->lpVtbl->GetData(agent, session, "block", &block) != 0) return 0;
  block->lpVtbl->Write(block, "x", 1);
  block->lpVtbl->Release(block);
  return 1;
}

/* Keeps a reference to its output after returning: against the rules. */
static IGenericStream* Kept = NULL;
uint32_t KeepOutput(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session, (void)in;
  out->lpVtbl->AddRef(out);
  Kept = out;
  return 1;
}

/* Lets go of the stream KeepOutput kept. */
uint32_t ReleaseKept(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session, (void)in, (void)out;
  if (Kept != NULL) Kept->lpVtbl->Release(Kept);
  Kept = NULL;
  return 1;
}

/* Echo after a pause of 20 ms: a task that is still running when its
 * agent is stopped. */
uint32_t SlowEcho(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  struct timespec pause = {0, 20 * 1000 * 1000};
  nanosleep(&pause, NULL);
  return Echo(agent, session, in, out);
}
