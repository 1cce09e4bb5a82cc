// SPDX-License-Identifier: Apache-2.0
#include "Gui/T_WindowModule.h"

#include <filesystem>
#include <utility>

TWindowModule::TWindowModule(IDynamicLibraries& libraries, IFileSystem& files, ISystem& system,
                             std::string installedFolder)
    : Libraries(libraries), Files(files), System(system), InstalledFolder(std::move(installedFolder)) {}

std::string TWindowModule::Path() const {
  const std::filesystem::path folder = std::filesystem::path(System.ExecutablePath()).parent_path();
  const std::string beside = (folder / kFileName).string();
  if (!folder.empty() && Files.Exists(beside)) return beside;
  // An absolute folder replaces the executable's in the join.
  return (folder / InstalledFolder / kFileName).lexically_normal().string();
}

TStatus TWindowModule::Load() {
  const std::string path = Path();
  const std::string context = "cannot load the window module";
  void* library = nullptr;
  // The loader's text names the file.
  const TStatus loaded = Libraries.Load(path, library);
  if (!loaded) return TStatus::Failure(context, loaded.Text());
  void* entry = Libraries.Symbol(library, kWindowModuleEntry);
  if (entry == nullptr) {
    (void)Libraries.Unload(library);
    return TStatus::Failure(context, path + ": it has no " + kWindowModuleEntry);
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
