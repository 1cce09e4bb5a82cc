// IDynamicLibraries: task libraries loaded into the process, their exports
// looked up, and unloaded again. Any thread may call any method; a handle is
// valid from the Load that answered it until the matching Unload. Tests
// substitute fakes by overriding methods of TLinuxDynamicLibraries.
#pragma once

#include <string>

class IDynamicLibraries {
 public:
  virtual ~IDynamicLibraries() = default;

  // Loads the shared object at `path` (a path, not a bare name), binding all
  // its symbols now and keeping them out of the global scope. Answers the
  // handle, or null with `error` set to the loader's reason. When the loader
  // answers with an object other than the file at `path` (one loaded earlier
  // from another path whose file had the same identity), that load is undone
  // and refused like a file that does not load.
  virtual void* Load(const std::string& path, std::string& error) = 0;

  // True when an object loaded under the name `path` is in the process, so
  // that Load(path) would answer it instead of reading the file. Loads
  // nothing.
  virtual bool IsLoaded(const std::string& path) = 0;

  // The address of the export `name` that `library` itself defines, or null.
  // What only a library it depends on defines (a companion's export, the C
  // library's exit) is not found, nor an address outside the library.
  virtual void* Symbol(void* library, const std::string& name) = 0;

  // Gives back one Load of `library`. False with `error` set on failure.
  virtual bool Unload(void* library, std::string& error) = 0;
};
