// A task library in C++ whose EndSession raises a C++ exception.
#include <stdexcept>

#include "I_Agent.h"

extern "C" void EndSession(IAgent*, void*) { throw std::runtime_error("EndSession gave up "); }
