/* SPDX-License-Identifier: Apache-2.0
 * The companion of tasklib_main, found by its soname in the main library's
 * folder. */
#include <stdint.h>

int32_t PartValue(void) { return 41; }
