// SPDX-License-Identifier: Apache-2.0
// The readers of trusted keys and library signatures: any key-file text and
// any signature text are read without harm. A key file that is read holds
// a key; a refused signature is refused with one of the reasons the agent
// reports; a file checked in any pieces meets the same answer as the file
// checked whole; and a file whose signature holds no longer does once a
// byte is added to it or to its trusted comment. CR LF line ends read as LF.
//
// Input: the key file's text and the signature's text (each ended by a
// backslash and one more byte, as FuzzedDataProvider reads a string), then
// the file's bytes; the input's last bytes give the piece sizes the file is
// fed in. The seeds were made by minisign itself:
//   minisign -G -W -f -p k.pub -s k.key
//   minisign -S [-l] -s k.key -m FILE -t COMMENT </dev/null
//   { cat k.pub; printf '\\\n'; cat FILE.minisig; printf '\\\n'; cat FILE; printf PIECES; } > SEED
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Agent/T_TrustedKeys.h"
#include "FuzzSupport.h"

namespace {

// A refusal of Start: the signature is no signature, or its key is unknown
// (named by 1 to 16 upper-case hexadecimal digits, without leading zeros).
bool IsStartRefusal(const std::string& reason) {
  static const std::string kUntrusted = "signed by untrusted key ";
  if (reason == TTrustedKeys::kMalformed) return true;
  const size_t digits = reason.size() - std::min(reason.size(), kUntrusted.size());
  return digits >= 1 && digits <= 16 && reason.rfind(kUntrusted, 0) == 0 &&
         (digits == 1 || reason[kUntrusted.size()] != '0') &&
         reason.find_first_not_of("0123456789ABCDEF", kUntrusted.size()) == std::string::npos;
}

// A refusal of Parse names the line that is no key, or says there is none.
bool IsParseRefusal(const std::string& reason) {
  static const std::string kLine = "line ";
  static const std::string kNoKey = " is no minisign public key";
  if (reason == "no minisign public key in the file") return true;
  if (reason.rfind(kLine, 0) != 0 || reason.size() <= kLine.size() + kNoKey.size()) return false;
  const std::string number = reason.substr(kLine.size(), reason.size() - kLine.size() - kNoKey.size());
  return number.find_first_not_of("0123456789") == std::string::npos && number[0] != '0' &&
         reason.compare(reason.size() - kNoKey.size(), kNoKey.size(), kNoKey) == 0;
}

// Every LF line end of `text` made CR LF: the same lines to both readers.
std::string WithCrLf(const std::string& text) {
  std::string crlf;
  for (char c : text) {
    if (c == '\n' && (crlf.empty() || crlf.back() != '\r')) crlf += '\r';
    crlf += c;
  }
  return crlf;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  FuzzedDataProvider input(data, size);
  const std::string keyText = input.ConsumeRandomLengthString(4096);
  const std::string signature = input.ConsumeRandomLengthString(TTrustedKeys::kMaxSignatureBytes + 16);
  std::vector<size_t> pieces(input.ConsumeIntegralInRange<size_t>(0, 8));
  for (size_t& piece : pieces) piece = input.ConsumeIntegralInRange<size_t>(0, 4096);
  const std::string file = input.ConsumeRemainingBytesAsString();

  TTrustedKeys keys;
  const TStatus parsed = TTrustedKeys::Parse(keyText, keys);
  if (!parsed) {
    FUZZ_CHECK(IsParseRefusal(parsed.Reason()));
    FUZZ_CHECK(!TTrustedKeys::Parse(WithCrLf(keyText), keys).Ok());
    return 0;
  }
  FUZZ_CHECK(!keys.Empty());
  {
    TTrustedKeys again;
    FUZZ_CHECK(TTrustedKeys::Parse(WithCrLf(keyText), again).Ok());
    FUZZ_CHECK(again.Count() == keys.Count());
  }

  TTrustedKeys::TCheck check;
  const TStatus started = check.Start(keys, signature);
  if (const std::string crlf = WithCrLf(signature); crlf.size() <= TTrustedKeys::kMaxSignatureBytes) {
    TTrustedKeys::TCheck other;
    const TStatus otherStarted = other.Start(keys, crlf);
    FUZZ_CHECK(otherStarted.Ok() == started.Ok());
    FUZZ_CHECK(otherStarted.Reason() == started.Reason());
  }
  const TStatus whole = keys.Verify(file, signature);
  if (!started) {
    FUZZ_CHECK(IsStartRefusal(started.Reason()));
    FUZZ_CHECK(whole.Reason() == started.Reason());
    return 0;
  }

  // The file in the input's pieces (empty ones too), the rest at once.
  size_t at = 0;
  for (size_t piece : pieces) {
    piece = std::min(piece, file.size() - at);
    check.Update(file.data() + at, piece);
    at += piece;
  }
  check.Update(file.data() + at, file.size() - at);
  const TStatus finished = check.Finish();
  FUZZ_CHECK(finished.Ok() == whole.Ok());
  if (!finished) {
    FUZZ_CHECK(finished.Reason() == TTrustedKeys::kMismatch);
    FUZZ_CHECK(whole.Reason() == TTrustedKeys::kMismatch);
    return 0;
  }

  // What a trusted key signed, and only that.
  FUZZ_CHECK(keys.Verify(file + '\0', signature).Reason() == TTrustedKeys::kMismatch);
  const size_t comment = signature.find("trusted comment: ");
  if (comment != std::string::npos && comment > 0 && signature[comment - 1] == '\n') {
    std::string changed = signature;
    changed.insert(comment + 17, "x");
    if (changed.size() <= TTrustedKeys::kMaxSignatureBytes)
      FUZZ_CHECK(keys.Verify(file, changed).Reason() == TTrustedKeys::kMismatch);
  }
  return 0;
}
