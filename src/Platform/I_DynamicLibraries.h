// SPDX-License-Identifier: Apache-2.0
// IDynamicLibraries: task libraries loaded into the process, their exports
// looked up, and unloaded again. Any thread may call any method; a handle is
// valid from the Load that answered it until the matching Unload. Tests
// substitute fakes by overriding methods of TLinuxDynamicLibraries.
#pragma once

#include <string>

#include "Platform/T_Status.h"

class IDynamicLibraries {
 public:
  virtual ~IDynamicLibraries() = default;

  // Loads the shared object at `path` (a path, not a bare name), binding all
  // its symbols now and keeping them out of the global scope. Sets `library`
  // to the handle, or to null on failure, whose reason is the loader's text
  // (dlerror). When the loader answers with an object other than the file at
  // `path` (one loaded earlier from another path whose file had the same
  // identity), that load is undone and refused like a file that does not
  // load.
  virtual TStatus Load(const std::string& path, void*& library) = 0;

  // True when an object loaded under the name `path` is in the process, so
  // that Load(path) would answer it instead of reading the file. Loads
  // nothing.
  virtual bool IsLoaded(const std::string& path) = 0;

  // The address of the export `name` that `library` itself defines, or null.
  // What only a library it depends on defines (a companion's export, the C
  // library's exit) is not found, nor an address outside the library.
  virtual void* Symbol(void* library, const std::string& name) = 0;

  // Gives back one Load of `library`; a failure's reason is the loader's.
  virtual TStatus Unload(void* library) = 0;
};
