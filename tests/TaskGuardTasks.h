// SPDX-License-Identifier: Apache-2.0
// Task code for the guard's tests, in plain C built without sanitizers: the
// faults go through volatile operands, so the compiler neither folds nor
// removes them.
#pragma once

#include "I_Agent.h"

#ifdef __cplusplus
extern "C" {
#endif

#define GUARD_TEST_TASK(name) uint32_t name(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out)

GUARD_TEST_TASK(ReturnSessionTask);    // answers the session value
GUARD_TEST_TASK(NullWriteTask);        // writes to address 0
GUARD_TEST_TASK(IntegerDivisionTask);  // divides an integer by zero
GUARD_TEST_TASK(RecursionTask);        // recurses until the stack runs out
GUARD_TEST_TASK(FloatDivisionTask);    // stores 1.0 / 0.0 in the double at `session`
GUARD_TEST_TASK(RoundUpwardTask);      // rounds upward, then writes to 0 if `session` is set
GUARD_TEST_TASK(SmashedFrameTask);     // garbles its caller's frame link, then writes to 0
GUARD_TEST_TASK(WildStackPointerTask); // writes to 0 with the stack pointer at unmapped memory
GUARD_TEST_TASK(InaccessibleStackTask);  // the same with the stack pointer in the PROT_NONE page at `session`
GUARD_TEST_TASK(CallbackTask);         // answers the `uint32_t (*)(void)` at `session`, as a slot
GUARD_TEST_TASK(BadStreamWriteTask);   // Writes 64 bytes from address 16 to `out`
GUARD_TEST_TASK(AbortTask);            // calls abort()
GUARD_TEST_TASK(FailedAssertTask);     // an assert whose condition is false
void NullWriteEndSession(IAgent* agent, void* session);

// The same faults for code outside task procedures.
void WriteToNull(void);
int DivideByZero(void);

#ifdef __cplusplus
}
#endif
