// SPDX-License-Identifier: Apache-2.0
// TLinuxFileSystem: IFileSystem on POSIX files. Stateless; one process-wide
// instance serves every thread.
#pragma once

#include "Platform/I_FileSystem.h"

class TLinuxFileSystem : public IFileSystem {
 public:
  TStatus ReadFile(const std::string& path, std::string& content) override;
  // Writes a temporary file beside the target (following a symbolic link to
  // its target), then renames it over the target, keeping the old mode.
  TStatus WriteFile(const std::string& path, std::string_view content) override;
  // The new file is made exclusively (never an existing one) and is not
  // flushed to the disk before the rename; ReplaceFile is ReplaceFileFrom
  // with the content in one piece.
  TStatus ReplaceFile(const std::string& path, std::string_view content, unsigned mode) override;
  TStatus ReplaceFileFrom(const std::string& path, unsigned mode,
                          const std::function<TStatus(IByteSink& file)>& fill) override;
  TStatus RemoveFile(const std::string& path) override;
  bool Exists(const std::string& path) override;
  bool DirectoryExists(const std::string& path) override;
  TStatus CreateDirectory(const std::string& path) override;
  TStatus RemoveDirectory(const std::string& path) override;
  TStatus CreateOwnFolders(const std::string& base, const std::string& own) override;
  // Works on descriptors, folder by folder, so nothing is reached through a
  // link even when one replaces a folder during the walk.
  TStatus RemoveFolderContents(const std::string& path) override;
  TStatus ListFolder(const std::string& path, std::vector<std::string>& names) override;
};
