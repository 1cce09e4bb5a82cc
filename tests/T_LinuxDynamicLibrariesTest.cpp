// The dynamic-library seam on the test task libraries.
#include "Platform/T_LinuxDynamicLibraries.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport.h"

namespace fs = std::filesystem;

TEST(LinuxDynamicLibraries, LoadsOnlyTheFileAskedFor) {
  TTempDir dir;
  TLinuxDynamicLibraries libraries;
  fs::copy_file(KELVRA_TASKLIB_BOTH, dir / "old.so");
  std::string error;
  void* old = libraries.Load(dir / "old.so", error);
  ASSERT_NE(old, nullptr) << error;
  EXPECT_TRUE(libraries.IsLoaded(dir / "old.so"));
  EXPECT_NE(libraries.Symbol(old, "_EndSession"), nullptr);
  EXPECT_EQ(libraries.Symbol(old, "Missing"), nullptr);
  // A new file with the identity of a loaded one (here a second name of the
  // same file) would get the old object from the loader: refused.
  fs::create_hard_link(dir / "old.so", dir / "new.so");
  EXPECT_EQ(libraries.Load(dir / "new.so", error), nullptr);
  EXPECT_NE(error.find(dir / "old.so"), std::string::npos) << error;
  EXPECT_TRUE(libraries.Unload(old, error));
  EXPECT_FALSE(libraries.IsLoaded(dir / "old.so"));

  WriteTextFile(dir / "garbage.so", "not a library");
  EXPECT_EQ(libraries.Load(dir / "garbage.so", error), nullptr);
  EXPECT_NE(error.find("garbage.so"), std::string::npos) << error;
  // Only paths: an empty name would answer the program, a bare one a
  // library from elsewhere.
  EXPECT_EQ(libraries.Load("", error), nullptr);
  EXPECT_EQ(libraries.Load("libc.so.6", error), nullptr);
}
