// SPDX-License-Identifier: Apache-2.0
// IFileSystem: the files and folders the agent touches (settings file,
// temporary folder, the file cache's session folders). Every method may be
// called from any thread; nothing is kept open between calls. Tests
// substitute fakes by overriding methods of TLinuxFileSystem. A failure
// answers a TStatus naming what failed and why ("cannot write <path>: <reason>").
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/I_ByteSink.h"
#include "Platform/T_Status.h"

class IFileSystem {
 public:
  virtual ~IFileSystem() = default;

  // Reads the whole file into `content`. Fails ("cannot read <path>", and
  // `content` untouched) when the file does not exist or cannot be read.
  virtual TStatus ReadFile(const std::string& path, std::string& content) = 0;

  // Replaces the file's content, creating the file if needed. The old content
  // stays intact until the new one is complete on disk. Fails with "cannot
  // write <path>" and the system's reason.
  virtual TStatus WriteFile(const std::string& path, std::string_view content) = 0;

  // Puts a new file with `content` at `path`, never showing a partial file
  // there: the bytes go to a new file of a name of its own in the same
  // folder, which is then renamed to `path`. Whatever was at `path` (a file,
  // a symbolic link) is replaced, never written through. The file gets
  // exactly `mode` (the umask aside). Fails with "cannot write <path>" and
  // the system's reason, leaving nothing behind.
  virtual TStatus ReplaceFile(const std::string& path, std::string_view content, unsigned mode) = 0;

  // As ReplaceFile, with the content written as it comes: `fill` hands the
  // bytes, piece by piece, to the new file it is given, and the file
  // appears at `path` only once `fill` has succeeded. When a piece cannot
  // be written ("cannot write <path>" and the reason, which is also what
  // the file answers `fill`), or `fill` fails (its own failure, answered
  // unchanged), nothing is left behind. `fill` is not called when the new
  // file cannot be made.
  virtual TStatus ReplaceFileFrom(const std::string& path, unsigned mode,
                                  const std::function<TStatus(IByteSink& file)>& fill) = 0;

  // Deletes the file (or link) at `path` ("cannot remove <path>").
  virtual TStatus RemoveFile(const std::string& path) = 0;

  // True when something exists at `path` (readable or not).
  virtual bool Exists(const std::string& path) = 0;

  virtual bool DirectoryExists(const std::string& path) = 0;

  // Creates one directory (its parent must exist), mode 0700 ("cannot
  // create <path>").
  virtual TStatus CreateDirectory(const std::string& path) = 0;

  // Deletes the empty directory at `path`; fails when it is not empty,
  // missing or in use ("cannot remove <path>").
  virtual TStatus RemoveDirectory(const std::string& path) = 0;

  // Makes the folder `base` + "/" + `own` with every folder missing on the
  // way, mode 0700. Links among the folders of `base` (the user's) are
  // followed; the folders of `own` are the agent's and are made and entered
  // without following links. A failure names the folder: "cannot create
  // <folder>: <reason>".
  virtual TStatus CreateOwnFolders(const std::string& base, const std::string& own) = 0;

  // Deletes everything inside the folder `path`, not the folder itself. A
  // link is deleted, never followed. Fails when something stays, naming the
  // first thing that could not be deleted.
  virtual TStatus RemoveFolderContents(const std::string& path) = 0;

  // The names of the entries of the folder `path` (without "." and ".."),
  // in no particular order ("cannot read <path>").
  virtual TStatus ListFolder(const std::string& path, std::vector<std::string>& names) = 0;
};
