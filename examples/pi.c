/* SPDX-License-Identifier: Apache-2.0
 * EstimatePi: a Monte Carlo estimate of pi, one task per seed.
 *
 * Input:  a decimal seed, optionally followed by a sample count
 *         ("1" or "1 5000000"; 1000000 samples when none is given).
 * Output: one line, "seed=1 samples=1000000 inside=785011 pi=3.140044".
 *
 * The task draws `samples` points of a square from a generator seeded with
 * `seed` and counts those inside the quarter circle: pi is about
 * 4 * inside / samples. The points are whole numbers and the generator is
 * fixed, so a seed gives the same line on any machine and with any compiler,
 * and results can be checked and summed: 4 * (sum of inside) / (sum of
 * samples) over all seeds is the estimate of the whole run.
 *
 * Every value lives on the procedure's stack: tasks of one session run on
 * several threads at once and share nothing.
 */
#include <stdio.h>

#include "I_Agent.h"

enum { kInputMax = 64 };
#define DEFAULT_SAMPLES 1000000ull
/* The agent is asked whether to stop after every this many samples. */
#define SAMPLES_PER_CHECK (1ull << 20)

/* splitmix64: small, fast, and the same numbers everywhere. */
static uint64_t NextRandom(uint64_t* state) {
  uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

/* A point of the square [0, 2^31)^2, from one random number: whole numbers
 * keep every machine's results the same (no rounding of floating point). */
#define SIDE (1ull << 31)
static int InsideQuarterCircle(uint64_t* state) {
  const uint64_t r = NextRandom(state);
  const uint64_t x = r >> 33, y = r & (SIDE - 1);
  return x * x + y * y < SIDE * SIDE;
}

/* Reads one unsigned decimal number after optional blanks; 0 when there is
 * none or it does not fit. */
static int ParseNumber(const char** text, uint64_t* value) {
  const char* at = *text;
  while (*at == ' ' || *at == '\t') ++at;
  if (*at < '0' || *at > '9') return 0;
  uint64_t number = 0;
  for (; *at >= '0' && *at <= '9'; ++at) {
    const uint64_t digit = (uint64_t)(*at - '0');
    if (number > (UINT64_MAX - digit) / 10) return 0;
    number = number * 10 + digit;
  }
  *value = number;
  *text = at;
  return 1;
}

/* "SEED [SAMPLES]", with blanks and a line end allowed around them. */
static int ParseInput(IGenericStream* in, uint64_t* seed, uint64_t* samples) {
  char text[kInputMax + 1] = {0};
  if (in->lpVtbl->GetSize(in) > kInputMax) return 0;
  in->lpVtbl->Read(in, text, kInputMax);
  const char* at = text;
  if (!ParseNumber(&at, seed)) return 0;
  *samples = DEFAULT_SAMPLES;
  if (ParseNumber(&at, samples) && *samples == 0) return 0;
  while (*at == ' ' || *at == '\t' || *at == '\r' || *at == '\n') ++at;
  return *at == '\0';
}

uint32_t EstimatePi(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  uint64_t seed = 0, samples = 0;
  /* A false result fails the task ("TaskProc returned false"). */
  if (!ParseInput(in, &seed, &samples)) return 0;

  uint64_t state = seed, inside = 0;
  for (uint64_t done = 0; done < samples; ++done) {
    /* ShouldAbort waits while the machine's owner needs it and says when the
     * session is ending: stop then, the result would go nowhere. */
    if (done % SAMPLES_PER_CHECK == 0 && agent->lpVtbl->ShouldAbort(agent, session)) return 0;
    inside += (uint64_t)InsideQuarterCircle(&state);
  }

  char line[160];
  const int length = snprintf(line, sizeof line, "seed=%llu samples=%llu inside=%llu pi=%.6f\n",
                              (unsigned long long)seed, (unsigned long long)samples, (unsigned long long)inside,
                              4.0 * (double)inside / (double)samples);
  out->lpVtbl->Write(out, line, length);
  return 1;
}
