// SPDX-License-Identifier: Apache-2.0
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
  void* old = nullptr;
  TStatus loaded = libraries.Load(dir / "old.so", old);
  ASSERT_NE(old, nullptr) << loaded.Text();
  EXPECT_TRUE(libraries.IsLoaded(dir / "old.so"));
  EXPECT_NE(libraries.Symbol(old, "_EndSession"), nullptr);
  EXPECT_EQ(libraries.Symbol(old, "Missing"), nullptr);
  // A new file with the identity of a loaded one (here a second name of the
  // same file) would get the old object from the loader: refused.
  fs::create_hard_link(dir / "old.so", dir / "new.so");
  void* again = &libraries;
  loaded = libraries.Load(dir / "new.so", again);
  EXPECT_EQ(again, nullptr);
  EXPECT_NE(loaded.Text().find(dir / "old.so"), std::string::npos) << loaded.Text();
  EXPECT_TRUE(libraries.Unload(old));
  EXPECT_FALSE(libraries.IsLoaded(dir / "old.so"));

  WriteTextFile(dir / "garbage.so", "not a library");
  void* garbage = nullptr;
  loaded = libraries.Load(dir / "garbage.so", garbage);
  EXPECT_FALSE(loaded);
  EXPECT_EQ(garbage, nullptr);
  // The loader's own words: the file and what is wrong with it.
  EXPECT_EQ(loaded.Text(), dir / "garbage.so" + ": file too short");
  // Only paths: an empty name would answer the program, a bare one a
  // library from elsewhere.
  void* none = nullptr;
  EXPECT_FALSE(libraries.Load("", none));
  EXPECT_FALSE(libraries.Load("libc.so.6", none));
  EXPECT_EQ(none, nullptr);
}

// A library's symbols are the ones it defines: not a companion's it links
// (a procedure, an EndSession), nor the C library's.
TEST(LinuxDynamicLibraries, ASymbolIsOnlyOneTheLibraryItselfDefines) {
  TLinuxDynamicLibraries libraries;
  void* outer = nullptr;
  void* tasks = nullptr;
  TStatus loaded = libraries.Load(KELVRA_TASKLIB_OUTER, outer);
  ASSERT_TRUE(loaded) << loaded.Text();
  loaded = libraries.Load(KELVRA_TASKLIB_TASKS, tasks);
  ASSERT_TRUE(loaded) << loaded.Text();
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
  EXPECT_TRUE(libraries.Unload(tasks));
  EXPECT_TRUE(libraries.Unload(outer));
}

// The C++ test library is one the loader cannot unload (its unique symbol),
// as the sessions that load it in the process tests need.
TEST(LinuxDynamicLibraries, TheUniqueSymbolLibraryStaysLoaded) {
  TTempDir dir;
  TLinuxDynamicLibraries libraries;
  fs::copy_file(KELVRA_TASKLIB_UNIQUE, dir / "unique.so");
  void* unique = nullptr;
  const TStatus loaded = libraries.Load(dir / "unique.so", unique);
  ASSERT_TRUE(loaded) << loaded.Text();
  EXPECT_NE(libraries.Symbol(unique, "CountCalls"), nullptr);
  EXPECT_TRUE(libraries.Unload(unique));
  EXPECT_TRUE(libraries.IsLoaded(dir / "unique.so"));
}
