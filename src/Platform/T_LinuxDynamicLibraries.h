// SPDX-License-Identifier: Apache-2.0
// TLinuxDynamicLibraries: IDynamicLibraries on dlopen, dlsym and dlclose,
// with the link maps (dlinfo, dladdr1) telling which file a load really got
// and which object holds a symbol. Stateless; one process-wide instance
// serves every thread (the loader's error text is per thread and read right
// after the failing call).
#pragma once

#include "Platform/I_DynamicLibraries.h"

class TLinuxDynamicLibraries : public IDynamicLibraries {
 public:
  TStatus Load(const std::string& path, void*& library) override;
  bool IsLoaded(const std::string& path) override;
  void* Symbol(void* library, const std::string& name) override;
  TStatus Unload(void* library) override;
};
