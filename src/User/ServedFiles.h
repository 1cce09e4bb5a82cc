// SPDX-License-Identifier: Apache-2.0
// Files the user's side serves from a path: the file under its base name,
// and the signature that lies beside it (`<file>.minisig`, served as
// `<base name>.minisig`), which agents with trusted keys ask for before the
// file itself. Plain functions; any thread.
#pragma once

#include <string>
#include <vector>

#include "Platform/I_FileSystem.h"
#include "Platform/T_Status.h"

struct TServedFile {
  std::string Name;     // what the agents ask for (in any letter case)
  std::string Content;
};

// The suffix of a signature's file name, after the signed file's name.
inline constexpr const char* kSignatureSuffix = ".minisig";

// The file at `path`, then its signature when `<path>.minisig` exists,
// appended to `served` (the file first). A file that cannot be read fails, the status's context naming
// its path and its reason saying why (nothing is added then).
TStatus ReadServedFiles(IFileSystem& files, const std::string& path, std::vector<TServedFile>& served);
