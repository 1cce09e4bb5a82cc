// IFileSystem: the files and folders the agent touches (settings file,
// temporary folder, the file cache's session folders). Every method may be
// called from any thread; nothing is kept open between calls. Tests
// substitute fakes by overriding methods of TLinuxFileSystem.
#pragma once

#include <string>
#include <string_view>

class IFileSystem {
 public:
  virtual ~IFileSystem() = default;

  // Reads the whole file into `content`. False (and `content` untouched) when
  // the file does not exist or cannot be read.
  virtual bool ReadFile(const std::string& path, std::string& content) = 0;

  // Replaces the file's content, creating the file if needed. The old content
  // stays intact until the new one is complete on disk. On failure returns
  // false and sets `error` to the system's reason.
  virtual bool WriteFile(const std::string& path, std::string_view content, std::string& error) = 0;

  // Puts a new file with `content` at `path`, never showing a partial file
  // there: the bytes go to a new file of a name of its own in the same
  // folder, which is then renamed to `path`. Whatever was at `path` (a file,
  // a symbolic link) is replaced, never written through. The file gets
  // exactly `mode` (the umask aside). On failure returns false, sets `error`
  // to the system's reason and leaves nothing behind.
  virtual bool ReplaceFile(const std::string& path, std::string_view content, unsigned mode, std::string& error) = 0;

  // Deletes the file (or link) at `path`. False on failure.
  virtual bool RemoveFile(const std::string& path) = 0;

  // True when something exists at `path` (readable or not).
  virtual bool Exists(const std::string& path) = 0;

  virtual bool DirectoryExists(const std::string& path) = 0;

  // Creates one directory (its parent must exist), mode 0700. False on
  // failure.
  virtual bool CreateDirectory(const std::string& path) = 0;

  // Deletes the empty directory at `path`. False on failure (not empty,
  // missing, in use).
  virtual bool RemoveDirectory(const std::string& path) = 0;

  // Makes the folder `base` + "/" + `own` with every folder missing on the
  // way, mode 0700. Links among the folders of `base` (the user's) are
  // followed; the folders of `own` are the agent's and are made and entered
  // without following links. On failure sets `error` to "cannot create
  // <folder>: <reason>".
  virtual bool CreateOwnFolders(const std::string& base, const std::string& own, std::string& error) = 0;

  // Deletes everything inside the folder `path`, not the folder itself. A
  // link is deleted, never followed. False when something stays; `error`
  // then names the first thing that could not be deleted.
  virtual bool RemoveFolderContents(const std::string& path, std::string& error) = 0;
};
