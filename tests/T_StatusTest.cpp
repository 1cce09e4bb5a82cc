// SPDX-License-Identifier: Apache-2.0
// The platform's failure value, and what real failures of the file system
// read as: the text a log line carries when a call fails.
#include "Platform/T_Status.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "Platform/T_LinuxFileSystem.h"
#include "TestSupport.h"

TEST(Status, OkHasNoCodeAndNoText) {
  const TStatus ok;
  EXPECT_TRUE(ok);
  EXPECT_TRUE(ok.Ok());
  EXPECT_EQ(ok.Code(), 0);
  EXPECT_EQ(ok.Text(), "");
}

TEST(Status, AFailureReadsAsWhatFailedThenWhy) {
  const TStatus full = TStatus::FromErrno(ENOSPC, "cannot write /x/y");
  EXPECT_FALSE(full);
  EXPECT_EQ(full.Code(), ENOSPC);
  EXPECT_EQ(full.Context(), "cannot write /x/y");
  EXPECT_EQ(full.Reason(), "No space left on device");
  EXPECT_EQ(full.Text(), "cannot write /x/y: No space left on device");

  // A reason that is no errno (the loader's text) is a failure all the same.
  const TStatus loader = TStatus::Failure("", "libpart.so: cannot open shared object file: No such file or directory");
  EXPECT_FALSE(loader);
  EXPECT_EQ(loader.Code(), 0);
  EXPECT_EQ(loader.Text(), "libpart.so: cannot open shared object file: No such file or directory");
  EXPECT_EQ(TStatus::Failure("cannot create /x", "a symbolic link is in its place").Text(),
            "cannot create /x: a symbolic link is in its place");
}

TEST(Status, FileSystemFailuresNameTheFileAndTheSystemsReason) {
  TTempDir dir;
  TLinuxFileSystem files;
  const std::string missing = dir / "missing/file";

  std::string content = "kept";
  const TStatus read = files.ReadFile(missing, content);
  EXPECT_EQ(read.Text(), "cannot read " + missing + ": No such file or directory");
  EXPECT_EQ(read.Code(), ENOENT);
  EXPECT_EQ(content, "kept");

  EXPECT_EQ(files.WriteFile(missing, "x").Text(), "cannot write " + missing + ": No such file or directory");
  const TStatus replaced = files.ReplaceFile(missing, "x", 0600);
  EXPECT_EQ(replaced.Text(), "cannot write " + missing + ": No such file or directory");
  EXPECT_EQ(replaced.Code(), ENOENT);

  std::filesystem::create_directory(dir / "full");
  WriteTextFile(dir / "full/file", "x");
  EXPECT_EQ(files.RemoveDirectory(dir / "full").Text(), "cannot remove " + (dir / "full") + ": Directory not empty");
  EXPECT_EQ(files.RemoveFile(missing).Code(), ENOENT);
  EXPECT_EQ(files.CreateDirectory(dir / "full").Text(), "cannot create " + (dir / "full") + ": File exists");
}
