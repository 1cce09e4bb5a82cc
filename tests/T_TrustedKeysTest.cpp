// SPDX-License-Identifier: Apache-2.0
// Signatures made by the real minisign tool and fixed vectors: accepted
// from a trusted key (both the prehashed and the legacy algorithm), refused
// with the reason for a changed file, an untrusted key, a changed trusted
// comment and a malformed signature file.
#include "Agent/T_TrustedKeys.h"

#include <gtest/gtest.h>

#include "MinisignSupport.h"
#include "TestSupport.h"

namespace {

// A key pair made once by minisign, and its signatures of kVectorFile.
constexpr const char* kVectorKey =
    "untrusted comment: minisign public key 310D2AEBC7821013\n"
    "RWQTEILH6yoNMUzjmo/PE7CZ6SD9wzT7y8jYni7mzgDR66aKpux7xgkx\n";
constexpr const char* kVectorFile = "kelvra fixed vector\n";
constexpr const char* kVectorPrehashed =
    "untrusted comment: signature from minisign secret key\n"
    "RUQTEILH6yoNMbXEKp6a4nAjKGYOQ8BuopeFUfPcTTw4j0fn/t878SJu5Sy0m70gXW1JHk7b/Vnw5UmYIL3SBYVC0/l5hxsUnwM=\n"
    "trusted comment: fixed vector\n"
    "2PIut1io/DMASWl83qMTyJw0FrwZC5Gcgi6MOAAYiv4/XRo1k3iPOjtep8iQsUjUZk/MXymgtlB6oHq/zmssAQ==\n";
constexpr const char* kVectorLegacy =
    "untrusted comment: signature from minisign secret key\n"
    "RWQTEILH6yoNMQOXN8fxTlJOcbFPGtM5ToekEy2kamxRvK0QzopzBPPtLMEKlnZvnpmNCrJ+9kAbBu15yQeG0oXpzgL2dagz9QE=\n"
    "trusted comment: fixed vector\n"
    "gtQ2wxsucwZgqcTLKzyLov3n7QujFTuVmYtunK74C1kmSFuyeTVgZa2osvWQLVqwDFv1eOAKvZEW5yACNfXwDg==\n";

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

}  // namespace

TEST(TrustedKeysVectors, FixedSignaturesAreCheckedWholeAndPieceByPiece) {
  TTrustedKeys keys;
  ASSERT_OK(TTrustedKeys::Parse(kVectorKey, keys));
  EXPECT_OK(keys.Verify(kVectorFile, kVectorPrehashed));
  EXPECT_OK(keys.Verify(kVectorFile, kVectorLegacy));
  // As the bytes arrive from the user: in pieces of any size.
  for (const char* signature : {kVectorPrehashed, kVectorLegacy}) {
    TTrustedKeys::TCheck check;
    ASSERT_OK(check.Start(keys, signature));
    const std::string file = kVectorFile;
    for (size_t at = 0; at < file.size(); at += 3) check.Update(file.data() + at, std::min<size_t>(3, file.size() - at));
    EXPECT_OK(check.Finish());
  }
  EXPECT_OK(keys.Verify(kVectorFile, Replaced(kVectorPrehashed, "\n", "\r\n"))) << "lines may end in CR LF";

  EXPECT_EQ(keys.Verify("kelvra fixed vector!\n", kVectorPrehashed).Reason(), TTrustedKeys::kMismatch);
  EXPECT_EQ(keys.Verify("kelvra fixed vector!\n", kVectorLegacy).Reason(), TTrustedKeys::kMismatch);
  EXPECT_EQ(keys.Verify(kVectorFile, Replaced(kVectorPrehashed, "fixed vector", "fixed vectors")).Reason(),
            TTrustedKeys::kMismatch)
      << "the trusted comment is signed";
  // The algorithm names the hash: "ED" read as "Ed" checks the wrong bytes.
  EXPECT_EQ(keys.Verify(kVectorFile, Replaced(kVectorPrehashed, "RUQT", "RWQT")).Reason(), TTrustedKeys::kMismatch);
  // Another key id, and garbage in each place.
  EXPECT_EQ(keys.Verify(kVectorFile, Replaced(kVectorPrehashed, "RUQTEILH", "RUQAAAAA")).Reason(),
            "signed by untrusted key 310D2AEB00000000");
  for (const std::string& malformed :
       {std::string(), std::string("garbage\n"), Replaced(kVectorPrehashed, "untrusted comment", "comment"),
        Replaced(kVectorPrehashed, "trusted comment: fixed", "fixed"), Replaced(kVectorPrehashed, "RUQT", "RUQ"),
        Replaced(kVectorPrehashed, "RUQT", "RXQT"), Replaced(kVectorPrehashed, "2PIut1", "2PIut"),
        std::string(kVectorPrehashed) + "one line too many\n", std::string(20000, 'A')})
    EXPECT_EQ(keys.Verify(kVectorFile, malformed).Reason(), TTrustedKeys::kMalformed) << malformed;
}

TEST(TrustedKeysVectors, AKeyFileWithoutAKeyIsRefusedNamingTheLine) {
  TTrustedKeys keys;
  EXPECT_EQ(TTrustedKeys::Parse("untrusted comment: nothing\n# nor here\n", keys).Reason(),
            "no minisign public key in the file");
  EXPECT_EQ(TTrustedKeys::Parse(std::string(kVectorKey) + "not base64 at all\n", keys).Reason(),
            "line 3 is no minisign public key");
  // A signature is no key.
  EXPECT_EQ(TTrustedKeys::Parse(kVectorPrehashed, keys).Reason(), "line 2 is no minisign public key");
  EXPECT_EQ(TTrustedKeys::KeyIdText({0x13, 0x10, 0x82, 0xC7, 0xEB, 0x2A, 0x0D, 0x31}), "310D2AEBC7821013");
  EXPECT_EQ(TTrustedKeys::KeyIdText({0x54, 0x3D, 0x9A, 0x81, 0xA5, 0xEE, 0x79, 0x08}), "879EEA5819A3D54");
  EXPECT_EQ(TTrustedKeys::KeyIdText({}), "0");
}

struct TrustedKeysTest : ::testing::Test {
  TTempDir Dir;
  void SetUp() override {
    if (!MinisignInstalled()) GTEST_SKIP() << "minisign is not installed";
  }
  // A new key pair without a password: the public key's text.
  std::string MakeKey(const std::string& name) {
    EXPECT_TRUE(MakeMinisignKey(Dir.Get(), name));
    return ReadTextFile(Dir / (name + ".pub"));
  }
  // FILE.minisig's text, signed by `key` (legacy: the "Ed" algorithm).
  std::string Sign(const std::string& key, const std::string& file, bool legacy = false) {
    EXPECT_TRUE(MinisignSign(Dir / (key + ".key"), Dir / file, legacy));
    return ReadTextFile(Dir / (file + ".minisig"));
  }
};

TEST_F(TrustedKeysTest, AcceptsWhatATrustedKeySignedAndSaysWhyItRefusesTheRest) {
  TTrustedKeys keys;
  ASSERT_OK(TTrustedKeys::Parse(MakeKey("grid") + "\n# another\n" + MakeKey("lab"), keys));
  EXPECT_EQ(keys.Count(), 2u);
  const std::string library = "\x7f" "ELF library bytes";
  WriteTextFile(Dir / "lib.so", library);
  const std::string prehashed = Sign("grid", "lib.so");
  EXPECT_OK(keys.Verify(library, prehashed));
  EXPECT_OK(keys.Verify(library, Sign("lab", "lib.so", true))) << "the legacy algorithm";
  EXPECT_EQ(keys.Verify(library + "x", prehashed).Reason(), TTrustedKeys::kMismatch);

  const std::string stranger = Sign((MakeKey("stranger"), "stranger"), "lib.so");
  const TStatus untrusted = keys.Verify(library, stranger);
  EXPECT_EQ(untrusted.Reason().rfind("signed by untrusted key ", 0), 0u) << untrusted.Text();
  // The id as minisign prints it in the public key's comment.
  const std::string strangerKey = ReadTextFile(Dir / "stranger.pub");
  EXPECT_NE(strangerKey.find(untrusted.Reason().substr(24)), std::string::npos) << strangerKey;
}
