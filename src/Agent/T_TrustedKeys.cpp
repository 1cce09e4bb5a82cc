// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_TrustedKeys.h"

#include <sodium.h>

#include <cstring>
#include <sstream>

namespace {

constexpr std::string_view kTrustedPrefix = "trusted comment: ";

// The bytes of a base64 line, when it is exactly `size` bytes long.
bool DecodeBase64(const std::string& line, size_t size, std::vector<uint8_t>& bytes) {
  bytes.assign(size + 1, 0);
  size_t decoded = 0;
  if (sodium_base642bin(bytes.data(), bytes.size(), line.data(), line.size(), nullptr, &decoded, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      decoded != size)
    return false;
  bytes.resize(size);
  return true;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

bool IsComment(const std::string& line) {
  return line.empty() || line.rfind("untrusted comment:", 0) == 0 || line[0] == '#';
}

}  // namespace

TStatus TTrustedKeys::Parse(const std::string& text, TTrustedKeys& keys) {
  if (sodium_init() < 0) return TStatus::Failure("trusted keys", "libsodium cannot start");
  keys.Keys.clear();
  int number = 0;
  for (const std::string& line : Lines(text)) {
    ++number;
    if (IsComment(line)) continue;
    std::vector<uint8_t> bytes;
    if (!DecodeBase64(line, 2 + 8 + 32, bytes) || bytes[0] != 'E' || bytes[1] != 'd')
      return TStatus::Failure("trusted keys", "line " + std::to_string(number) + " is no minisign public key");
    TKey key{};
    std::memcpy(key.Id.data(), bytes.data() + 2, 8);
    std::memcpy(key.PublicKey.data(), bytes.data() + 10, 32);
    keys.Keys.push_back(key);
  }
  if (keys.Keys.empty()) return TStatus::Failure("trusted keys", "no minisign public key in the file");
  return {};
}

std::string TTrustedKeys::KeyIdText(const std::array<uint8_t, 8>& id) {
  // minisign prints the id as a little-endian 64-bit number, in upper-case
  // hexadecimal without leading zeros.
  uint64_t number = 0;
  for (size_t i = id.size(); i-- > 0;) number = number << 8 | id[i];
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  do {
    text.insert(text.begin(), kDigits[number & 0xF]);
    number >>= 4;
  } while (number != 0);
  return text;
}

TStatus TTrustedKeys::TCheck::Start(const TTrustedKeys& keys, std::string_view signature) {
  const auto fail = [](const std::string& reason) { return TStatus::Failure("signature", reason); };
  if (signature.size() > kMaxSignatureBytes) return fail(kMalformed);
  // The untrusted comment, the signature line, the trusted comment and the
  // global signature, in this order.
  std::vector<std::string> lines;
  for (const std::string& line : Lines(std::string(signature)))
    if (!line.empty()) lines.push_back(line);
  if (lines.size() != 4 || lines[0].rfind("untrusted comment:", 0) != 0 ||
      lines[2].rfind(kTrustedPrefix, 0) != 0)
    return fail(kMalformed);
  std::vector<uint8_t> signed_, global;
  if (!DecodeBase64(lines[1], 2 + 8 + 64, signed_) || !DecodeBase64(lines[3], 64, global)) return fail(kMalformed);
  Prehashed = signed_[0] == 'E' && signed_[1] == 'D';
  if (!Prehashed && !(signed_[0] == 'E' && signed_[1] == 'd')) return fail(kMalformed);
  std::array<uint8_t, 8> id{};
  std::memcpy(id.data(), signed_.data() + 2, 8);
  const TKey* key = nullptr;
  for (const TKey& candidate : keys.Keys)
    if (candidate.Id == id) key = &candidate;
  if (key == nullptr) return fail("signed by untrusted key " + KeyIdText(id));
  PublicKey = key->PublicKey;
  std::memcpy(FileSignature.data(), signed_.data() + 10, FileSignature.size());
  std::memcpy(GlobalSignature.data(), global.data(), GlobalSignature.size());
  TrustedComment = lines[2].substr(kTrustedPrefix.size());
  Whole.clear();
  if (Prehashed) crypto_generichash_init(&Hash, nullptr, 0, crypto_generichash_BYTES_MAX);
  return {};
}

void TTrustedKeys::TCheck::Update(const void* bytes, size_t size) {
  if (Prehashed)
    crypto_generichash_update(&Hash, static_cast<const unsigned char*>(bytes), size);
  else
    Whole.append(static_cast<const char*>(bytes), size);
}

TStatus TTrustedKeys::TCheck::Finish() {
  std::array<uint8_t, crypto_generichash_BYTES_MAX> hash{};
  const auto* message = reinterpret_cast<const unsigned char*>(Whole.data());
  size_t messageSize = Whole.size();
  if (Prehashed) {
    crypto_generichash_final(&Hash, hash.data(), hash.size());
    message = hash.data();
    messageSize = hash.size();
  }
  const TStatus mismatch = TStatus::Failure("signature", kMismatch);
  if (crypto_sign_verify_detached(FileSignature.data(), message, messageSize, PublicKey.data()) != 0)
    return mismatch;
  // The trusted comment is signed together with the file's signature.
  std::string global(reinterpret_cast<const char*>(FileSignature.data()), FileSignature.size());
  global += TrustedComment;
  if (crypto_sign_verify_detached(GlobalSignature.data(), reinterpret_cast<const unsigned char*>(global.data()),
                                  global.size(), PublicKey.data()) != 0)
    return mismatch;
  return {};
}

TStatus TTrustedKeys::Verify(std::string_view file, std::string_view signature) const {
  TCheck check;
  if (TStatus started = check.Start(*this, signature); !started) return started;
  check.Update(file.data(), file.size());
  return check.Finish();
}
