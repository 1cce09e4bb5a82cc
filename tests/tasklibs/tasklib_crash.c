/* SPDX-License-Identifier: Apache-2.0
 * Faults in named functions of task code, for the agent's crash
 * diagnostics: a null write in an exported function, a division by zero in
 * a static one (named only by the file's symbol table), and a null write
 * after the faulting function garbled its own frame link. Built several
 * ways (with and without frame pointers, -O0 and -O2); each caller does
 * work after its call, so no call becomes a jump. */
#include <stddef.h>
#include <stdint.h>

#include "I_Agent.h"

static volatile int Zero = 0;

__attribute__((noinline)) int Integrate(int steps) {
  volatile int* volatile target = NULL;
  *target = steps;
  return steps + 1;
}

__attribute__((noinline)) static int Partition(int count) { return count / Zero; }

__attribute__((noinline)) int SmashFrame(int steps) {
  void** volatile frame = (void**)__builtin_frame_address(0);
  frame[0] = (void*)(uintptr_t)0x10;
  frame[1] = (void*)(uintptr_t)0xDEADBEEF0;
  volatile int* volatile target = NULL;
  *target = steps;
  return steps + 1;
}

uint32_t NullWriteDeep(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session, (void)in, (void)out;
  return (uint32_t)Integrate(3) + Zero;
}

uint32_t DivideDeep(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session, (void)in, (void)out;
  return (uint32_t)Partition(Zero + 7) + Zero;
}

uint32_t SmashedStack(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session, (void)in, (void)out;
  return (uint32_t)SmashFrame(3) + Zero;
}
