/* SPDX-License-Identifier: Apache-2.0 */
#include "TaskGuardTasks.h"

/* Task code as its author builds it while debugging: assert is in force. */
#undef NDEBUG
#include <assert.h>
#include <fenv.h>
#include <stddef.h>
#include <stdlib.h>

static volatile int Zero = 0;
static volatile unsigned long RecursionLimit = (unsigned long)-1;

/* Not inlined, so that a fault names them. */
__attribute__((noinline)) void WriteToNull(void) {
  volatile int* volatile target = NULL;
  *target = 1;
}

__attribute__((noinline)) int DivideByZero(void) {
  volatile int dividend = 1;
  return dividend / Zero;
}

GUARD_TEST_TASK(ReturnSessionTask) { return (uint32_t)(uintptr_t)session; }

GUARD_TEST_TASK(NullWriteTask) {
  WriteToNull();
  return 1;
}

void NullWriteEndSession(IAgent* agent, void* session) { WriteToNull(); }

GUARD_TEST_TASK(IntegerDivisionTask) { return (uint32_t)DivideByZero(); }

static unsigned long Recurse(unsigned long depth) {
  volatile char frame[256];
  frame[0] = (char)depth;
  if (depth >= RecursionLimit) return depth;
  return Recurse(depth + 1) + (unsigned long)frame[0];
}

GUARD_TEST_TASK(RecursionTask) { return (uint32_t)Recurse(0); }

GUARD_TEST_TASK(FloatDivisionTask) {
  volatile double dividend = 1.0, divisor = 0.0;
  *(double*)session = dividend / divisor;
  return 1;
}

GUARD_TEST_TASK(RoundUpwardTask) {
  fesetround(FE_UPWARD);
  if (session != NULL) WriteToNull();
  return 1;
}

GUARD_TEST_TASK(CallbackTask) { return (*(uint32_t (**)(void))session)(); }

GUARD_TEST_TASK(BadStreamWriteTask) {
  const void* volatile source = (const void*)(uintptr_t)16;
  return (uint32_t)out->lpVtbl->Write(out, source, 64);
}

GUARD_TEST_TASK(AbortTask) {
  abort();
  return 1;
}

GUARD_TEST_TASK(FailedAssertTask) {
  assert(Zero != 0);
  return 1;
}

/* Overwrites its own saved frame pointer and return address with addresses
 * nothing is mapped at, then writes to address 0: a walk of the stack
 * from the fault meets the garbage one frame up. */
__attribute__((noinline)) void SmashFrameAndWriteToNull(void) {
  void** volatile frame = (void**)__builtin_frame_address(0);
  frame[0] = (void*)(uintptr_t)0x10;
  frame[1] = (void*)(uintptr_t)0xDEADBEEF0;
  WriteToNull();
}

GUARD_TEST_TASK(SmashedFrameTask) {
  SmashFrameAndWriteToNull();
  return 1;
}

GUARD_TEST_TASK(WildStackPointerTask) {
#if defined(__x86_64__)
  /* The stack pointer and frame pointer point at nothing when the write
   * faults: the walk cannot read a single frame of the stack. */
  __asm__ volatile(
      "movabs $0xDEADBEEF000, %%rsp\n\t"
      "movq $0x10, %%rbp\n\t"
      "movl $1, 0\n\t" ::: "memory");
#else
  WriteToNull();
#endif
  return 1;
}

GUARD_TEST_TASK(InaccessibleStackTask) {
#if defined(__x86_64__)
  /* The stack pointer and frame pointer point into the middle of the
   * mapped but inaccessible memory at `session`: an unwinder that checks
   * only that memory is mapped reads there and faults. */
  uintptr_t top = (uintptr_t)session + 2048;
  __asm__ volatile(
      "movq %0, %%rsp\n\t"
      "movq %0, %%rbp\n\t"
      "movl $1, 0\n\t" ::"r"(top)
      : "memory");
#else
  WriteToNull();
#endif
  return 1;
}
