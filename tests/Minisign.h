// Keys and signatures made by the real minisign tool, for the tests of
// signed task libraries. Key pairs have no password.
#pragma once

#include <cstdlib>
#include <string>

#include "TestSupport.h"

namespace minisign {

inline bool Installed() { return std::system("command -v minisign >/dev/null") == 0; }

// Makes the key pair <folder>/<name>.pub and .key; the public key's text.
inline std::string MakeKey(const std::string& folder, const std::string& name) {
  const std::string command = "minisign -G -W -f -p '" + folder + "/" + name + ".pub' -s '" + folder + "/" + name +
                              ".key' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return "";
  return ReadTextFile(folder + "/" + name + ".pub");
}

// Signs the file `path` with <folder>/<key>.key (legacy: the older "Ed"
// algorithm over the whole file); the text of the .minisig written beside it.
inline std::string Sign(const std::string& folder, const std::string& key, const std::string& path,
                        bool legacy = false) {
  const std::string command = "minisign -S " + std::string(legacy ? "-l " : "") + "-s '" + folder + "/" + key +
                              ".key' -m '" + path + "' -t 'built by test' >/dev/null 2>&1 </dev/null";
  if (std::system(command.c_str()) != 0) return "";
  return ReadTextFile(path + ".minisig");
}

}  // namespace minisign
