// SPDX-License-Identifier: Apache-2.0
// A C++ task library as g++ builds one: the function-local static of an
// inline function is a unique symbol (STB_GNU_UNIQUE), and the loader never
// unloads a library that defines one. The output is the number of calls.
#include <string>

#include "I_Agent.h"

inline int& Calls() {
  static int calls = 0;
  return calls;
}

extern "C" uint32_t CountCalls(IAgent*, void*, IGenericStream*, IGenericStream* out) {
  const std::string text = std::to_string(++Calls());
  out->Write(text.data(), static_cast<int32_t>(text.size()));
  return 1;
}
