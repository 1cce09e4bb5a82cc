// TTrustedKeys: the minisign public keys whose signatures the agent accepts
// on task libraries ([agent] trusted_keys). A key file is what `minisign -G`
// writes (an "untrusted comment:" line, then the key in base64), or several
// of them one after another; comment lines are ignored. A signature is what
// `minisign -Sm FILE` writes to FILE.minisig: the signature of the file
// (algorithm "Ed" over the file, or "ED" over its BLAKE2b-512 hash), the key
// id, and a trusted comment with its own global signature. Verification is
// libsodium's Ed25519.
//
// Threads: built once, then only read (any thread).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/T_Status.h"

class TTrustedKeys {
 public:
  // The reasons a verification fails (the failure's Reason()).
  static constexpr const char* kMalformed = "malformed signature file";
  static constexpr const char* kMismatch = "the signature does not match the file";

  // Reads the keys of a key file's text into `keys`; fails naming the line
  // that is no key, or when the text holds none.
  static TStatus Parse(const std::string& text, TTrustedKeys& keys);

  bool Empty() const { return Keys.empty(); }
  size_t Count() const { return Keys.size(); }

  // Whether `signature` (a .minisig file's text) is a signature of `file`
  // by a trusted key, its trusted comment included. The failure's reason is
  // kMalformed, "signed by untrusted key <ID>" or kMismatch.
  TStatus Verify(std::string_view file, const std::string& signature) const;

  // A key id as minisign prints it: 16 upper-case hexadecimal digits.
  static std::string KeyIdText(const std::array<uint8_t, 8>& id);

 private:
  struct TKey {
    std::array<uint8_t, 8> Id;
    std::array<uint8_t, 32> PublicKey;
  };
  std::vector<TKey> Keys;
};
