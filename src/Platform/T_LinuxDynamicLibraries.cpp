// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_LinuxDynamicLibraries.h"

#include <dlfcn.h>
#include <link.h>

namespace {

// The loader's reason for the failure the calling thread saw last.
TStatus LoaderError() {
  const char* text = ::dlerror();
  return TStatus::Failure("", text != nullptr ? text : "unknown loader error");
}

bool HasZeroByte(const std::string& text) { return text.find('\0') != std::string::npos; }

// A file's path: with a "/" (a bare name would be searched for on the
// library path, and an empty one names the program itself) and no zero byte.
bool IsFilePath(const std::string& path) { return path.find('/') != std::string::npos && !HasZeroByte(path); }

}  // namespace

TStatus TLinuxDynamicLibraries::Load(const std::string& path, void*& library) {
  library = nullptr;
  if (!IsFilePath(path)) return TStatus::Failure("", "not a library file's path: " + path);
  void* loaded = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (loaded == nullptr) return LoaderError();
  // The loader hands back an object already in the process when the file
  // has the identity (device and inode) of the one that object came from:
  // after an earlier session's file was deleted, a new file may get its inode.
  // The link map names the file the object really came from.
  link_map* map = nullptr;
  if (::dlinfo(loaded, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
    TStatus failure = LoaderError();
    ::dlclose(loaded);
    return failure;
  }
  if (map->l_name == nullptr || path != map->l_name) {
    const std::string other = map->l_name != nullptr ? map->l_name : "?";
    ::dlclose(loaded);
    return TStatus::Failure(path, "the loader answered with the object of " + other + ", loaded earlier");
  }
  library = loaded;
  return {};
}

bool TLinuxDynamicLibraries::IsLoaded(const std::string& path) {
  if (!IsFilePath(path)) return false;
  void* library = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD);
  if (library == nullptr) {
    ::dlerror();  // a file that is not loaded leaves an error text; drop it
    return false;
  }
  ::dlclose(library);
  return true;
}

void* TLinuxDynamicLibraries::Symbol(void* library, const std::string& name) {
  if (HasZeroByte(name)) return nullptr;
  void* address = ::dlsym(library, name.c_str());
  if (address == nullptr) {
    ::dlerror();
    return nullptr;
  }
  // dlsym searches the library, then everything it links against: a name
  // the library does not define would reach a companion's export or the C
  // library's exit. Only an address inside the library itself counts; the
  // object that contains it is the one whose link map dladdr1 answers (for
  // an indirect function, the implementation its resolver chose must lie in
  // the library too; an alias is the address it names).
  link_map* own = nullptr;
  if (::dlinfo(library, RTLD_DI_LINKMAP, &own) != 0 || own == nullptr) {
    ::dlerror();
    return nullptr;
  }
  Dl_info info{};
  link_map* containing = nullptr;
  if (::dladdr1(address, &info, reinterpret_cast<void**>(&containing), RTLD_DL_LINKMAP) == 0 || containing != own)
    return nullptr;
  return address;
}

TStatus TLinuxDynamicLibraries::Unload(void* library) {
  if (::dlclose(library) == 0) return {};
  return LoaderError();
}
