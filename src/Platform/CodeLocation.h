// SPDX-License-Identifier: Apache-2.0
// Names a code address of this process for a person reading a fault: the
// loaded module it lies in (base name and offset from the module's load
// address, what addr2line takes on the same file) and, where the module's
// symbols allow, the function and the offset into it. The function comes
// from the module's dynamic symbols, else from the symbol table of its file
// on disk (static functions of an unstripped file). Not for a signal
// handler: it takes the loader's lock and reads files.
#pragma once

#include <cstdint>
#include <string>

struct TCodeLocation {
  std::string Module;      // base name of the module's file; empty when in none
  std::string ModulePath;  // as the loader knows it
  uintptr_t Offset = 0;    // from the module's load address
  std::string Function;    // empty when unknown
  uintptr_t FunctionOffset = 0;
};

// `address` is looked up as is; `lookup` (address - 1 for a return address)
// chooses the function, so that a call at a function's very end is named
// after its caller rather than after the next function.
TCodeLocation LocateCode(uintptr_t address, uintptr_t lookup);
inline TCodeLocation LocateCode(uintptr_t address) { return LocateCode(address, address); }

// "libsim.so+0x1a2f (Integrate+0x3f)", "libsim.so+0x1a2f" without a
// function, "0x00007F..." outside every module.
std::string DescribeCode(const TCodeLocation& location, uintptr_t address);
