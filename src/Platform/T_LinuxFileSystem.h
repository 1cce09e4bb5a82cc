// TLinuxFileSystem: IFileSystem on POSIX files. Stateless; one process-wide
// instance serves every thread.
#pragma once

#include "Platform/I_FileSystem.h"

class TLinuxFileSystem : public IFileSystem {
 public:
  bool ReadFile(const std::string& path, std::string& content) override;
  // Writes a temporary file beside the target (following a symbolic link to
  // its target), then renames it over the target, keeping the old mode.
  bool WriteFile(const std::string& path, std::string_view content, std::string& error) override;
  // The new file is made exclusively (never an existing one) and is not
  // flushed to the disk before the rename.
  bool ReplaceFile(const std::string& path, std::string_view content, unsigned mode, std::string& error) override;
  bool RemoveFile(const std::string& path) override;
  bool Exists(const std::string& path) override;
  bool DirectoryExists(const std::string& path) override;
  bool CreateDirectory(const std::string& path) override;
  bool RemoveDirectory(const std::string& path) override;
  bool CreateOwnFolders(const std::string& base, const std::string& own, std::string& error) override;
  // Works on descriptors, folder by folder, so nothing is reached through a
  // link even when one replaces a folder during the walk.
  bool RemoveFolderContents(const std::string& path, std::string& error) override;
};
