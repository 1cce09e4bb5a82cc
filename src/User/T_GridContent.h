// SPDX-License-Identifier: Apache-2.0
// TGridContent: what the user's side serves to the agents on the data port:
// files (task libraries and their companions) by name, and data blocks by
// identifier. Agents ask for a file by its name upper-cased, so files are
// kept under that key; data identifiers are compared byte for byte. An entry
// added again replaces the old one; a connection still sending the old bytes
// keeps them alive (entries are shared and never change). Any thread.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "Platform/T_Mutex.h"

class TGridContent {
 public:
  using TBytes = std::shared_ptr<const std::string>;

  void AddFile(const std::string& name, std::string content) EXCLUDES(Lock);
  // `compress`: the block is kept (and sent) in the compressed-stream form.
  void AddData(const std::string& identifier, std::string content, bool compress) EXCLUDES(Lock);

  // The file asked for by `name` (any letter case); null when there is none.
  TBytes FindFile(const std::string& name) const EXCLUDES(Lock);
  TBytes FindData(const std::string& identifier) const EXCLUDES(Lock);

  // The key files are kept under: ASCII letters upper-cased, as the agents
  // ask for them.
  static std::string FileKey(const std::string& name);

 private:
  mutable TMutex Lock;
  std::map<std::string, TBytes> Files GUARDED_BY(Lock);
  std::map<std::string, TBytes> Data GUARDED_BY(Lock);
};
