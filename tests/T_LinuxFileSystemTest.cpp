// SPDX-License-Identifier: Apache-2.0
// The agent's own folders: made with their parents, mode 0700, never
// through a link; emptied at start without reaching outside through one.
#include "Platform/T_LinuxFileSystem.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "Platform/T_InstanceLock.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

unsigned ModeOf(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

}  // namespace

TEST(LinuxFileSystemFolders, MadeWithEveryParentAndMode0700) {
  TTempDir dir;
  TLinuxFileSystem files;
  TStatus created = files.CreateOwnFolders(dir / "home/.local/share", "kelvra/TEMP");
  ASSERT_TRUE(created) << created.Text();
  for (const char* made : {"home", "home/.local", "home/.local/share", "home/.local/share/kelvra",
                           "home/.local/share/kelvra/TEMP"})
    EXPECT_EQ(ModeOf(dir / made), 0700u) << made;
  // Again: everything exists, nothing changes.
  fs::permissions(dir / "home", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  created = files.CreateOwnFolders(dir / "home/.local/share", "kelvra/TEMP");
  EXPECT_TRUE(created) << created.Text();
  EXPECT_EQ(ModeOf(dir / "home"), 0750u);
  // One folder made by CreateDirectory is private too.
  ASSERT_TRUE(files.CreateDirectory(dir / "session"));
  EXPECT_EQ(ModeOf(dir / "session"), 0700u);
}

TEST(LinuxFileSystemFolders, TheUsersLinksAreFollowedTheAgentsAreRefused) {
  TTempDir dir;
  TLinuxFileSystem files;
  fs::create_directories(dir / "elsewhere/share");
  fs::create_directory_symlink(dir / "elsewhere", dir / "local");
  TStatus made = files.CreateOwnFolders(dir / "local/share", "kelvra");
  ASSERT_TRUE(made) << made.Text();
  EXPECT_TRUE(fs::is_directory(dir / "elsewhere/share/kelvra"));

  // A link where the agent's folder belongs: nothing is made behind it.
  fs::create_directories(dir / "data/kelvra");
  fs::create_directory(dir / "victim");
  fs::create_directory_symlink(dir / "victim", dir / "data/kelvra/TEMP");
  made = files.CreateOwnFolders(dir / "data", "kelvra/TEMP/127.0.0.1");
  EXPECT_FALSE(made);
  EXPECT_EQ(made.Text(), "cannot create " + (dir / "data/kelvra/TEMP") + ": a symbolic link is in its place");
  EXPECT_TRUE(fs::is_empty(dir / "victim"));

  // The instance lock's folder too.
  fs::create_directories(dir / "other");
  fs::create_directory_symlink(dir / "victim", dir / "other/kelvra");
  TInstanceLock lock;
  const TStatus taken = lock.Take("", dir / "other");
  EXPECT_FALSE(taken);
  EXPECT_FALSE(TInstanceLock::HeldElsewhere(taken));
  EXPECT_EQ(taken.Text(), "cannot create " + (dir / "other/kelvra") + ": a symbolic link is in its place");
  EXPECT_TRUE(fs::is_empty(dir / "victim"));

  // A file in the way, and no base folder at all.
  WriteTextFile(dir / "file", "x");
  made = files.CreateOwnFolders(dir / "file", "kelvra");
  EXPECT_EQ(made.Text(), "cannot create " + (dir / "file") + ": Not a directory");
  EXPECT_EQ(made.Code(), ENOTDIR);
  EXPECT_FALSE(files.CreateOwnFolders("", "kelvra"));
}

TEST(LinuxFileSystemFolders, EmptyingAFolderRemovesLinksNotWhatTheyPointTo) {
  TTempDir dir;
  TLinuxFileSystem files;
  const std::string temp = dir / "TEMP";
  fs::create_directories(temp + "/127.0.0.1/00007FA800000BF0/deep");
  WriteTextFile(temp + "/127.0.0.1/00007FA800000BF0/libt.so", "library");
  WriteTextFile(temp + "/127.0.0.1/00007FA800000BF0/deep/data", "data");
  WriteTextFile(temp + "/stray", "");
  fs::create_directories(dir / "outside/keep");
  WriteTextFile(dir / "outside/keep/file", "mine");
  fs::create_directory_symlink(dir / "outside", temp + "/127.0.0.1/out");
  fs::create_symlink(dir / "outside/keep/file", temp + "/file-link");

  const TStatus removed = files.RemoveFolderContents(temp);
  EXPECT_TRUE(removed) << removed.Text();
  EXPECT_TRUE(fs::is_directory(temp));
  EXPECT_TRUE(fs::is_empty(temp));
  EXPECT_EQ(ReadTextFile(dir / "outside/keep/file"), "mine");
  EXPECT_TRUE(fs::is_directory(dir / "outside/keep"));

  // The folder itself must not be a link.
  fs::create_directory_symlink(dir / "outside", dir / "link");
  EXPECT_FALSE(files.RemoveFolderContents(dir / "link"));
  EXPECT_TRUE(fs::exists(dir / "outside/keep/file"));
}
