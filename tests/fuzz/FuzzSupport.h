// SPDX-License-Identifier: Apache-2.0
// Shared by the fuzz targets: the connection held in memory, and a check
// that ends the run with a message when a property does not hold.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "T_MemoryConnection.h"

// A property that must hold for every input: a failure is a finding.
#define FUZZ_CHECK(condition)                                                          \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (false)
