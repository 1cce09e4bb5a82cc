// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_CrashReports.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <set>
#include <sstream>

#include "TestSupport.h"

namespace {

struct CrashReportsTest : ::testing::Test {
  TTempDir Dir;
  TTestPlatform Platform;

  CrashReportsTest() { Platform.System.StateFolder = Dir / "state"; }

  static TCrashFacts Facts(uint32_t task) {
    TCrashFacts facts;
    facts.UserAddress = "127.0.0.1";
    facts.TaskId = task;
    facts.Procedure = "Integrate";
    facts.FaultText = "Access violation (SIGSEGV) at address 0x0000000000000000";
    facts.Fault.Signal = SIGSEGV;
    facts.Fault.Code = 1;
    facts.Fault.Registers = {{"rip", 0x10}, {"rsp", 0x20}};
    facts.Fault.Frames = {0x10};  // in no module
    return facts;
  }

  std::set<std::string> Reports() {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(Dir / "state/kelvra/crashes"))
      names.insert(entry.path().filename());
    return names;
  }
};

}  // namespace

// The folder is made on the way; the 50 most recent reports stay, the
// oldest go; files of other names in the folder are left alone.
TEST_F(CrashReportsTest, KeepsTheMostRecentReports) {
  std::vector<std::string> written;
  for (uint32_t task = 1; task <= TCrashReports::kKept + 3; ++task) {
    std::string path;
    // Hours apart, so the order of the times is that of the writes.
    ASSERT_TRUE(TCrashReports::Write(Platform.Get(), Facts(task), std::time_t{1800000000} + task * 3600, path).Ok());
    written.push_back(path);
    if (task == 1) WriteTextFile(Dir / "state/kelvra/crashes/notes.txt", "mine");
  }
  std::set<std::string> reports = Reports();
  EXPECT_EQ(reports.size(), TCrashReports::kKept + 1);
  EXPECT_EQ(reports.count("notes.txt"), 1u);
  for (size_t index = 0; index < written.size(); ++index)
    EXPECT_EQ(std::filesystem::exists(written[index]), index >= 3) << written[index];
  EXPECT_EQ(TCrashReports::Folder(Platform.Get()), Dir / "state/kelvra/crashes");
}

TEST_F(CrashReportsTest, NamesTheLibraryByItsFileAndContent) {
  WriteTextFile(Dir / "libsim.so", "abc");
  TCrashFacts facts = Facts(7);
  facts.LibraryPath = Dir / "libsim.so";
  std::string path;
  ASSERT_TRUE(TCrashReports::Write(Platform.Get(), facts, std::time_t{1800000000}, path).Ok());
  EXPECT_EQ(ReadTextFile(path),
            "kelvra crash report\n"
            "time: 2027-01-15 08:00:00 UTC\n"
            "user: 127.0.0.1\n"
            "task: 7\n"
            "procedure: Integrate\n"
            "library: libsim.so\n"
            "library sha256: ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n"
            "fault: Access violation (SIGSEGV) at address 0x0000000000000000\n"
            "signal: 11 (SIGSEGV), code 1\n"
            "fault address: 0x0000000000000000\n"
            "registers:\n"
            "  rip 0x0000000000000010\n"
            "  rsp 0x0000000000000020\n"
            "backtrace:\n"
            "  #0 0x0000000000000010\n");
}

// The texts a user gave (the procedure's name, the library's file name, the
// fault's text, which may be an exception's message) go in escaped as the
// debug log escapes them: none can forge a line of the report.
TEST_F(CrashReportsTest, UserTextsCannotForgeReportLines) {
  TCrashFacts facts = Facts(3);
  facts.Procedure = "Integrate\nsignal: forged";
  facts.LibraryPath = "/tmp/lib\nfault: forged.so";
  facts.FaultText = "bad\r\ntask: 99";
  const std::string text = TCrashReports::Text(facts, std::time_t{1800000000});
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  auto starting = [&](const std::string& prefix) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
  };
  EXPECT_EQ(starting("signal: "), 1);
  EXPECT_EQ(starting("fault: "), 1);
  EXPECT_EQ(starting("task: "), 1);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "procedure: Integrate\\nsignal: forged"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "library: lib\\nfault: forged.so"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "fault: bad\\r\\ntask: 99"), lines.end());
}

TEST_F(CrashReportsTest, WithoutAStateFolderNothingIsWritten) {
  Platform.System.StateFolder.clear();
  std::string path;
  TStatus written = TCrashReports::Write(Platform.Get(), Facts(1), std::time_t{1800000000}, path);
  EXPECT_FALSE(written.Ok());
  EXPECT_EQ(written.Text(), "cannot write a crash report: no state folder");
  EXPECT_TRUE(path.empty());
}
