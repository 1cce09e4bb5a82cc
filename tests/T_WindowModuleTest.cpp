// SPDX-License-Identifier: Apache-2.0
// Where the agent finds its window module and how a module that is not one
// is refused, on the real loader and files.
#include "Gui/T_WindowModule.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

#include "Platform/T_LinuxDynamicLibraries.h"
#include "Platform/T_LinuxFileSystem.h"
#include "Platform/T_LinuxSystem.h"
#include "TestSupport.h"

namespace {

// The agent's executable, as if it were in `Folder`.
class TSystemIn : public TLinuxSystem {
 public:
  explicit TSystemIn(std::string folder) : Folder(std::move(folder)) {}
  std::string ExecutablePath() override { return Folder + "/kelvra-agent"; }

 private:
  std::string Folder;
};

struct WindowModuleTest : ::testing::Test {
  TTempDir Dir;
  TLinuxDynamicLibraries Libraries;
  TLinuxFileSystem Files;
  TSystemIn System{Dir / "bin"};
  void SetUp() override { std::filesystem::create_directories(Dir / "bin"); }
};

}  // namespace

TEST_F(WindowModuleTest, ComesFromBesideTheExecutableElseFromTheInstalledFolder) {
  EXPECT_EQ(TWindowModule(Libraries, Files, System, "../lib/kelvra").Path(),
            Dir / "lib/kelvra/kelvra-agent-window.so");
  EXPECT_EQ(TWindowModule(Libraries, Files, System, "/opt/kelvra/lib").Path(), "/opt/kelvra/lib/kelvra-agent-window.so");
  WriteTextFile(Dir / "bin/kelvra-agent-window.so", "");
  EXPECT_EQ(TWindowModule(Libraries, Files, System, "../lib/kelvra").Path(), Dir / "bin/kelvra-agent-window.so");
}

TEST_F(WindowModuleTest, AMissingModuleOrOneWithoutTheEntryIsRefusedAndNothingStaysLoaded) {
  TWindowModule missing(Libraries, Files, System, "../lib/kelvra");
  TStatus loaded = missing.Load();
  EXPECT_FALSE(loaded);
  EXPECT_EQ(loaded.Text().rfind("cannot load the window module: " + (Dir / "lib/kelvra/kelvra-agent-window.so"), 0),
            0u)
      << loaded.Text();

  const std::string path = Dir / "bin/kelvra-agent-window.so";
  std::filesystem::copy_file(KELVRA_TASKLIB_BOTH, path);
  TWindowModule other(Libraries, Files, System, "../lib/kelvra");
  loaded = other.Load();
  EXPECT_EQ(loaded.Text(), "cannot load the window module: " + path + ": it has no kelvra_run_status_window");
  EXPECT_FALSE(Libraries.IsLoaded(path));
}

TEST_F(WindowModuleTest, TheBuiltModuleHasTheEntry) {
  std::filesystem::copy_file(KELVRA_WINDOW_MODULE, Dir / "bin/kelvra-agent-window.so");
  TWindowModule module(Libraries, Files, System, "../lib/kelvra");
  const TStatus loaded = module.Load();
  EXPECT_TRUE(loaded) << loaded.Text();
}
