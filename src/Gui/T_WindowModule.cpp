#include "Gui/T_WindowModule.h"

#include <filesystem>
#include <utility>

TWindowModule::TWindowModule(IDynamicLibraries& libraries, IFileSystem& files, ISystem& system,
                             std::string installedFolder)
    : Libraries(libraries), Files(files), System(system), InstalledFolder(std::move(installedFolder)) {}

std::string TWindowModule::Path() const {
  const std::filesystem::path executable = System.ExecutablePath();
  if (!executable.empty()) {
    const std::string beside = (executable.parent_path() / kFileName).string();
    if (Files.Exists(beside)) return beside;
  }
  return (std::filesystem::path(InstalledFolder) / kFileName).string();
}

TStatus TWindowModule::Load() {
  const std::string path = Path();
  const std::string context = "cannot load the window module " + path;
  void* library = nullptr;
  const TStatus loaded = Libraries.Load(path, library);
  if (!loaded) return TStatus::Failure(context, loaded.Reason());
  void* entry = Libraries.Symbol(library, kWindowModuleEntry);
  if (entry == nullptr) {
    (void)Libraries.Unload(library);
    return TStatus::Failure(context, std::string("it has no ") + kWindowModuleEntry);
  }
  // Never unloaded (see the header).
  Entry = reinterpret_cast<TWindowModuleEntry>(entry);
  return {};
}

int TWindowModule::Run(int& argc, char** argv, const TStatusSourceMaker& makeSource,
                       const TWindowedOptions& options) const {
  TStatusWindowCall call;
  call.Argc = &argc;
  call.Argv = argv;
  call.MakeSource = &makeSource;
  call.Options = &options;
  return Entry(&call);
}
