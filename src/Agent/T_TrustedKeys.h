// SPDX-License-Identifier: Apache-2.0
// TTrustedKeys: the minisign public keys whose signatures the agent accepts
// on task libraries ([agent] trusted_keys). A key file is what `minisign -G`
// writes (an "untrusted comment:" line, then the key in base64), or several
// of them one after another; comment lines are ignored. A signature is what
// `minisign -Sm FILE` writes to FILE.minisig: the signature of the file
// (algorithm "ED" over its BLAKE2b-512 hash, or the older "Ed" over the
// file itself), the key id, and a trusted comment with its own global
// signature. Verification is libsodium's Ed25519.
//
// Threads: built once, then only read (any thread). A TCheck is one
// thread's.
#pragma once

#include <sodium.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/T_Status.h"

class TTrustedKeys {
 public:
  // The reasons a verification fails (the failure's Reason()), besides
  // "signed by untrusted key <ID>".
  static constexpr const char* kMalformed = "malformed signature file";
  static constexpr const char* kMismatch = "the signature does not match the file";
  // The largest signature file read: minisign's own bounds on its comments,
  // with room to spare.
  static constexpr size_t kMaxSignatureBytes = 16 * 1024;

  // Reads the keys of a key file's text into `keys`; fails naming the line
  // that is no key, or when the text holds none.
  static TStatus Parse(const std::string& text, TTrustedKeys& keys);

  bool Empty() const { return Keys.empty(); }
  size_t Count() const { return Keys.size(); }

  // The check of one file against its signature, fed the file's bytes as
  // they arrive: with "ED" only a hash is kept; with "Ed" the whole file,
  // as the algorithm needs it at once.
  class TCheck {
   public:
    // Reads `signature` (a .minisig file's text) and finds its key; fails
    // with kMalformed or "signed by untrusted key <ID>". Only after success
    // may Update and Finish be called.
    TStatus Start(const TTrustedKeys& keys, std::string_view signature);
    void Update(const void* bytes, size_t size);
    // Whether the bytes given are what the key signed, together with the
    // trusted comment; fails with kMismatch.
    TStatus Finish();

   private:
    bool Prehashed = false;
    std::array<uint8_t, 32> PublicKey{};
    std::array<uint8_t, 64> FileSignature{};
    std::array<uint8_t, 64> GlobalSignature{};
    std::string TrustedComment;
    crypto_generichash_state Hash{};
    std::string Whole;  // the file, for "Ed"
  };

  // Start, Update with the whole `file`, and Finish.
  TStatus Verify(std::string_view file, std::string_view signature) const;

  // A key id as minisign prints it: upper-case hexadecimal digits, without
  // leading zeros.
  static std::string KeyIdText(const std::array<uint8_t, 8>& id);

 private:
  struct TKey {
    std::array<uint8_t, 8> Id;
    std::array<uint8_t, 32> PublicKey;
  };
  std::vector<TKey> Keys;
};
