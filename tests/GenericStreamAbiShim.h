/* SPDX-License-Identifier: Apache-2.0
 * Test-only entry points, callable from C, that make the agent's streams
 * and read the calling thread's remembered slot error. */
#ifndef KELVRA_TEST_GENERICSTREAMABISHIM_H
#define KELVRA_TEST_GENERICSTREAMABISHIM_H

#include <stdint.h>

#include "I_GenericStream.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Each answers a new stream with a count of 1 that the caller releases. */
IGenericStream* TEST_CreateGenericStream(void);
IGenericStream* TEST_CreateGenericStreamRO(const void* data, int32_t size);
IGenericStream* TEST_CreateStreamWrapper(IGenericStream* wrapped);

/* Moves the thread's remembered slot error into buffer (cut to size - 1
 * bytes, zero-terminated); answers 1 when there was one, else 0 and "". */
int TEST_TakeSlotError(char* buffer, int32_t size);

#ifdef __cplusplus
}
#endif

#endif
