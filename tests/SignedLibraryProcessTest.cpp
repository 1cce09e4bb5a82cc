// SPDX-License-Identifier: Apache-2.0
// The agent with [agent] trusted_keys set, as a process: a library and its
// companions run only when signed by a trusted key; each other case fails
// its task with the reason, leaves nothing on disk, and the session goes on.
// Without keys no signature is asked for.
#include <gtest/gtest.h>

#include <filesystem>

#include "LobbyFixture.h"
#include "MinisignSupport.h"

using namespace std::chrono_literals;

namespace {

struct SignedLibraryTest : LobbyTest {
  std::string Library;  // the test task library's bytes

  void SetUp() override {
    if (!MinisignInstalled()) GTEST_SKIP() << "minisign is not installed";
    Library = ReadTextFile(KELVRA_TASKLIB_TASKS);
  }
  // The signature of `bytes`, by the key pair `key` (made on first use).
  std::string Signature(const std::string& key, const std::string& bytes) {
    if (!std::filesystem::exists(Dir / (key + ".key"))) {
      EXPECT_TRUE(MakeMinisignKey(Dir.Get(), key));
    }
    WriteTextFile(Dir / "signed", bytes);
    EXPECT_TRUE(MinisignSign(Dir / (key + ".key"), Dir / "signed"));
    return ReadTextFile(Dir / "signed.minisig");
  }
  // The user serves `bytes` as `name`, with `signature` beside it unless empty.
  void Serve(const std::string& name, const std::string& bytes, const std::string& signature) {
    User.AddFile(name, bytes);
    if (!signature.empty()) User.AddFile(name + ".MINISIG", signature);
  }
  // Runs `library`'s Echo as task `id` and answers its failure text, or
  // "done" with the echo.
  std::string Run(fake::TLobbyClient& user, uint32_t id, const std::string& library) {
    if (!user.RunTask("RUN_TASK," + std::to_string(id) + ",\"" + library + "\",Echo", "echo")) return "<not sent>";
    if (!WaitReport(id)) return "<no report>";
    const fake::TFakeUser::TRequest report = ReportsOf(id)[0];
    return report.Text.rfind("TASK_DONE", 0) == 0 ? "done " + report.Block : FailureText(report);
  }
  // Files of any session's folder whose name holds `part` (a copy, or a
  // copy being written).
  size_t FilesNamed(const std::string& part) {
    size_t count = 0;
    std::error_code ignored;
    for (auto at = std::filesystem::recursive_directory_iterator(Dir.Get(), ignored);
         at != std::filesystem::recursive_directory_iterator(); at.increment(ignored))
      if (at->path().filename().string().find(part) != std::string::npos &&
          at->path().string().find("/TEMP/") != std::string::npos)
        ++count;
    return count;
  }
};

}  // namespace

TEST_F(SignedLibraryTest, OnlyFilesSignedByATrustedKeyRunAndEachRefusalSaysWhy) {
  const std::string trusted = Signature("grid", Library);
  WriteTextFile(Dir / "trusted.pub", "# the grid's key\n" + ReadTextFile(Dir / "grid.pub"));
  Serve("SIGNED.SO", Library, trusted);
  Serve("UNSIGNED.SO", Library, "");
  Serve("STRANGER.SO", Library, Signature("stranger", Library));
  Serve("CHANGED.SO", Library + "appended after signing", trusted);
  Serve("GARBAGE.SO", Library, "this is no signature");
  Serve("HUGE.SO", Library, std::string(1 << 20, 'A'));
  Serve("PART.DAT", "a companion nobody signed", "");
  Start("trusted_keys=" + (Dir / "trusted.pub") + "\n");

  fake::TLobbyClient user("127.0.0.1", LobbyPort);
  EXPECT_EQ(Run(user, 1, "signed.so"), "done echo") << Agent->Err();
  const std::string refused = " is not signed by a trusted key: ";
  EXPECT_EQ(Run(user, 2, "unsigned.so"), "library unsigned.so" + refused + "the user sent no signature");
  // The id as minisign names it, on the public key's first line.
  const std::string key = ReadTextFile(Dir / "stranger.pub");
  const std::string keyLine = key.substr(0, key.find('\n'));
  const std::string strangerId = keyLine.substr(keyLine.rfind(' ') + 1);
  EXPECT_EQ(Run(user, 3, "stranger.so"), "library stranger.so" + refused + "signed by untrusted key " + strangerId);
  EXPECT_EQ(Run(user, 4, "changed.so"), "library changed.so" + refused + "the signature does not match the file");
  EXPECT_EQ(Run(user, 5, "garbage.so"), "library garbage.so" + refused + "malformed signature file");
  EXPECT_EQ(Run(user, 10, "huge.so"), "library huge.so" + refused + "malformed signature file");
  // A companion is checked like the library; the signed library it came
  // with is kept.
  EXPECT_EQ(Run(user, 6, "signed.so,part.dat"), "library part.dat" + refused + "the user sent no signature");
  EXPECT_TRUE(Logged("library changed.so" + refused + "the signature does not match the file")) << Agent->Err();

  // While the session lives: nothing of the refused files is on disk.
  for (const char* name : {"unsigned", "stranger", "changed", "garbage", "huge", "part", ".tmp"})
    EXPECT_EQ(FilesNamed(name), 0u) << name;
  EXPECT_EQ(FilesNamed("signed.so"), 1u);
  // The session goes on, and each file is checked once in it.
  EXPECT_EQ(Run(user, 7, "signed.so"), "done echo");
  size_t signatureRequests = 0;
  for (const auto& request : User.Taken()) signatureRequests += request.Text == "GET_FILE SIGNED.SO.MINISIG";
  EXPECT_EQ(signatureRequests, 1u);
  // Another session checks for itself.
  fake::TLobbyClient other("127.0.0.1", LobbyPort);
  EXPECT_EQ(Run(other, 8, "changed.so"), "library changed.so" + refused + "the signature does not match the file");
  EXPECT_EQ(Run(other, 9, "SIGNED.SO"), "done echo");
}

TEST_F(LobbyTest, WithoutTrustedKeysNoSignatureIsAskedFor) {
  Start();
  fake::TLobbyClient user("127.0.0.1", LobbyPort);
  ASSERT_TRUE(user.RunTask("RUN_TASK,1,libtasklib_tasks.so,Echo", "one"));
  ASSERT_TRUE(WaitReport(1)) << Agent->Err();
  for (const auto& request : User.Taken())
    EXPECT_EQ(request.Text.find("MINISIG"), std::string::npos) << request.Text;
}
