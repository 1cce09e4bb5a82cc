// Signatures made by the real minisign tool: accepted from a trusted key
// (both the prehashed and the legacy algorithm), refused with the reason
// for a changed file, an untrusted key, and a malformed signature file.
#include <gtest/gtest.h>

#include "Agent/T_TrustedKeys.h"
#include "MinisignSupport.h"
#include "TestSupport.h"

namespace {

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
  std::string comment = prehashed;
  comment.replace(comment.find("built by test"), 5, "faked");
  EXPECT_EQ(keys.Verify(library, comment).Reason(), TTrustedKeys::kMismatch) << "the trusted comment is signed";
  EXPECT_EQ(keys.Verify(library, "not a signature").Reason(), TTrustedKeys::kMalformed);

  const std::string stranger = Sign((MakeKey("stranger"), "stranger"), "lib.so");
  const TStatus untrusted = keys.Verify(library, stranger);
  EXPECT_EQ(untrusted.Reason().rfind("signed by untrusted key ", 0), 0u) << untrusted.Text();
  // The id as minisign prints it in the public key's comment.
  const std::string strangerKey = ReadTextFile(Dir / "stranger.pub");
  EXPECT_NE(strangerKey.find(untrusted.Reason().substr(24)), std::string::npos) << strangerKey;
}

TEST_F(TrustedKeysTest, AKeyFileWithoutAKeyIsRefused) {
  TTrustedKeys keys;
  EXPECT_FALSE(TTrustedKeys::Parse("untrusted comment: nothing\n", keys).Ok());
  const TStatus bad = TTrustedKeys::Parse("untrusted comment: x\nnot base64 at all\n", keys);
  EXPECT_EQ(bad.Reason(), "line 2 is no minisign public key");
}

}  // namespace
