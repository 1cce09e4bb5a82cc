// The dynamic-library seam on the test task libraries.
#include "Platform/T_LinuxDynamicLibraries.h"

#include <dlfcn.h>
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

// A library's symbols are the ones it defines: not a companion's it links
// (a procedure, an EndSession), nor the C library's.
TEST(LinuxDynamicLibraries, ASymbolIsOnlyOneTheLibraryItselfDefines) {
  TLinuxDynamicLibraries libraries;
  std::string error;
  void* outer = libraries.Load(KELVRA_TASKLIB_OUTER, error);
  ASSERT_NE(outer, nullptr) << error;
  void* tasks = libraries.Load(KELVRA_TASKLIB_TASKS, error);
  ASSERT_NE(tasks, nullptr) << error;
  EXPECT_NE(libraries.Symbol(outer, "OuterTask"), nullptr);
  EXPECT_NE(libraries.Symbol(tasks, "Echo"), nullptr);
  EXPECT_NE(::dlsym(outer, "InnerTask"), nullptr) << "the loader itself reaches the companion";
  EXPECT_EQ(libraries.Symbol(outer, "InnerTask"), nullptr);
  EXPECT_EQ(libraries.Symbol(outer, "EndSession"), nullptr);
  for (const char* name : {"exit", "abort", "sleep", "fork", "pthread_exit", "printf"}) {
    EXPECT_NE(::dlsym(tasks, name), nullptr) << name;
    EXPECT_EQ(libraries.Symbol(tasks, name), nullptr) << name;
    EXPECT_EQ(libraries.Symbol(outer, name), nullptr) << name;
  }
  EXPECT_TRUE(libraries.Unload(tasks, error));
  EXPECT_TRUE(libraries.Unload(outer, error));
}

// The C++ test library is one the loader cannot unload (its unique symbol),
// as the sessions that load it in the process tests need.
TEST(LinuxDynamicLibraries, TheUniqueSymbolLibraryStaysLoaded) {
  TTempDir dir;
  TLinuxDynamicLibraries libraries;
  fs::copy_file(KELVRA_TASKLIB_UNIQUE, dir / "unique.so");
  std::string error;
  void* unique = libraries.Load(dir / "unique.so", error);
  ASSERT_NE(unique, nullptr) << error;
  EXPECT_NE(libraries.Symbol(unique, "CountCalls"), nullptr);
  EXPECT_TRUE(libraries.Unload(unique, error));
  EXPECT_TRUE(libraries.IsLoaded(dir / "unique.so"));
}
