#include "TaskGuardTasks.h"

/* Task code as its author builds it while debugging: assert is in force. */
#undef NDEBUG
#include <assert.h>
#include <fenv.h>
#include <stddef.h>
#include <stdlib.h>

static volatile int Zero = 0;
static volatile unsigned long RecursionLimit = (unsigned long)-1;

void WriteToNull(void) {
  volatile int* volatile target = NULL;
  *target = 1;
}

int DivideByZero(void) {
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
