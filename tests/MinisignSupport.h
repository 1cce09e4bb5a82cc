// SPDX-License-Identifier: Apache-2.0
// Keys and signatures made by the real minisign tool, for the tests of
// signed task libraries: a key pair without a password, and FILE.minisig
// beside a file as `minisign -S` writes it. A test skips (GTEST_SKIP) where
// minisign is not installed.
#pragma once

#include <cstdlib>
#include <string>

inline bool MinisignInstalled() { return std::system("command -v minisign >/dev/null") == 0; }

// Makes DIR/NAME.pub and DIR/NAME.key; true when minisign did.
inline bool MakeMinisignKey(const std::string& dir, const std::string& name) {
  const std::string command = "minisign -G -W -f -p '" + dir + "/" + name + ".pub' -s '" + dir + "/" + name +
                              ".key' >/dev/null 2>&1 </dev/null";
  return std::system(command.c_str()) == 0;
}

// Signs `file` with the secret key `key` into `file`.minisig, its trusted
// comment "built by test" (legacy: the "Ed" algorithm); true when minisign
// did.
inline bool MinisignSign(const std::string& key, const std::string& file, bool legacy = false) {
  const std::string command = "minisign -S " + std::string(legacy ? "-l " : "") + "-s '" + key + "' -m '" + file +
                              "' -t 'built by test' >/dev/null 2>&1 </dev/null";
  return std::system(command.c_str()) == 0;
}
