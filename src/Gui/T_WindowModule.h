// SPDX-License-Identifier: Apache-2.0
// TWindowModule: the agent's way to its window without mapping Qt until one
// is shown. Loads kelvra-agent-window.so through IDynamicLibraries, from
// beside the executable (a build tree) or else from the installed folder,
// and runs the window through the module's one entry point. A loaded module
// stays for the life of the process: the Qt libraries it brings register
// exit handlers. Main thread.
#pragma once

#include <string>

#include "Gui/StatusWindow.h"
#include "Gui/WindowModule.h"
#include "Platform/I_DynamicLibraries.h"
#include "Platform/I_FileSystem.h"
#include "Platform/I_System.h"
#include "Platform/T_Status.h"

class TWindowModule {
 public:
  // The file name of the module.
  static constexpr const char* kFileName = "kelvra-agent-window.so";

  // Borrows the facilities, which must outlive it. `installedFolder` is
  // where an install puts the module, relative to the executable's folder
  // ("../lib/kelvra") or absolute.
  TWindowModule(IDynamicLibraries& libraries, IFileSystem& files, ISystem& system, std::string installedFolder);
  TWindowModule(const TWindowModule&) = delete;
  TWindowModule& operator=(const TWindowModule&) = delete;

  // The path the module is loaded from: beside the executable when a file
  // is there, else in the installed folder (so an install moved as a whole
  // to another prefix still finds it).
  std::string Path() const;

  // Loads the module and finds its entry. On failure nothing stays loaded
  // and the status says what failed ("cannot load the window module: " and
  // the loader's text, which names the file).
  TStatus Load();

  // Runs the window (see RunStatusWindow). Only after a Load that succeeded.
  int Run(int& argc, char** argv, const TStatusSourceMaker& makeSource, const TWindowedOptions& options) const;

 private:
  IDynamicLibraries& Libraries;  // borrowed
  IFileSystem& Files;            // borrowed
  ISystem& System;               // borrowed
  const std::string InstalledFolder;
  TWindowModuleEntry Entry = nullptr;
};
