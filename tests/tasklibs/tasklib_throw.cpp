// SPDX-License-Identifier: Apache-2.0
// A task library in C++ whose EndSession raises a C++ exception.
#include <stdexcept>

#include "I_Agent.h"

extern "C" void EndSession(IAgent*, void*) { throw std::runtime_error("EndSession gave up "); }

// A task procedure that throws: the agent fails the task with the text.
extern "C" uint32_t Throw(IAgent*, void*, IGenericStream*, IGenericStream*) {
  throw std::runtime_error("the task threw");
}
