// SPDX-License-Identifier: Apache-2.0
#include "Common/kelvracommon.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "Common/Sha256.h"
#include "Common/T_GenericStream.h"
#include "StatusAssertions.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

TEST(CreateDirectoriesForFile, CreatesThreeMissingLevelsAndNoFile) {
  TTempDir dir;
  TLinuxFileSystem files;
  CreateDirectoriesForFile(files, dir / "a/b/c/file.txt");
  EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
  EXPECT_FALSE(fs::exists(dir / "a/b/c/file.txt"));
}

TEST(CreateDirectoriesForFile, TrailingSeparatorAndRunsOfSeparators) {
  TTempDir dir;
  TLinuxFileSystem files;
  CreateDirectoriesForFile(files, dir.Get() + "//x///y/");
  EXPECT_TRUE(fs::is_directory(dir / "x/y"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "x/y"), fs::directory_iterator()), 0);
}

TEST(CreateDirectoriesForFile, ExistingDirectoriesAreLeftAlone) {
  TTempDir dir;
  TLinuxFileSystem files;
  fs::create_directories(dir / "a/b");
  WriteTextFile(dir / "a/b/keep.txt", "x");
  CreateDirectoriesForFile(files, dir / "a/b/new.txt");
  EXPECT_EQ(ReadTextFile(dir / "a/b/keep.txt"), "x");
  EXPECT_FALSE(fs::exists(dir / "a/b/new.txt"));
}

TEST(CreateDirectoriesForFile, GoesOnPastAFolderItCannotMake) {
  TTempDir dir;
  TLinuxFileSystem files;
  WriteTextFile(dir / "plainfile", "");  // a file where a folder should be
  CreateDirectoriesForFile(files, dir / "plainfile/sub/f.txt");
  EXPECT_FALSE(fs::exists(dir / "plainfile/sub"));
}

TEST(CountProcessors, CappedBetweenOneAndTen) {
  TFakeSystem system;
  system.Processors = 12;
  EXPECT_EQ(CountProcessors(system), 10);
  system.Processors = 0;
  EXPECT_EQ(CountProcessors(system), 1);
  system.Processors = 3;
  EXPECT_EQ(CountProcessors(system), 3);
}

TEST(CountProcessors, RealMachineAnswersWithinRange) {
  TLinuxSystem system;
  int count = CountProcessors(system);
  EXPECT_GE(count, 1);
  EXPECT_LE(count, 10);
}

TEST(NameCurrentThread, SetsTheSystemNameCutTo15Bytes) {
  TLinuxSystem system;
  std::string seen;
  std::thread([&] {
    NameCurrentThread(system, "AgentLobbySocketThread");
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    seen = name;
  }).join();
  EXPECT_EQ(seen, "AgentLobbySocke");
}

TEST(RaiseAssertionFailure, NamesUnitAndLine) {
  try {
    RaiseAssertionFailure("Common/T_GenericStreamRO", 150);
    FAIL() << "no error raised";
  } catch (const std::exception& error) {
    EXPECT_STREQ(error.what(), "Assertion failure (Common/T_GenericStreamRO, line 150)");
  }
}

TEST(RequireSingleHolder, PassesForTheOnlyHolderAndLeavesTheCount) {
  IGenericStream* stream = TGenericStream::Create();
  EXPECT_NO_THROW(RequireSingleHolder(stream, "Agent/T_PoolThread", 206));
  EXPECT_EQ(stream->Release(), 0);
}

TEST(RequireSingleHolder, ASecondHolderIsTheCallersAssertionFailure) {
  IGenericStream* stream = TGenericStream::Create();
  stream->AddRef();
  try {
    RequireSingleHolder(stream, "Agent/T_PoolThread", 83);
    ADD_FAILURE() << "no exception";
  } catch (const std::exception& error) {
    EXPECT_STREQ(error.what(), "Assertion failure (Agent/T_PoolThread, line 83)");
  }
  EXPECT_EQ(stream->Release(), 1);
  EXPECT_EQ(stream->Release(), 0);
}

TEST(RequireSingleHolder, NoStreamIsAnAssertionFailure) {
  EXPECT_THROW(RequireSingleHolder(nullptr, "Agent/T_AgentLobby", 1), std::logic_error);
}

TEST(CheckSingleHolder, AnswersTheCallersAssertionFailureWithoutRaisingIt) {
  IGenericStream* stream = TGenericStream::Create();
  EXPECT_OK(CheckSingleHolder(stream, "Agent/T_PoolThread", 83));
  stream->AddRef();
  EXPECT_EQ(CheckSingleHolder(stream, "Agent/T_PoolThread", 83).Text(),
            "Assertion failure (Agent/T_PoolThread, line 83)");
  EXPECT_EQ(stream->Release(), 1);
  EXPECT_EQ(stream->Release(), 0);
  EXPECT_EQ(CheckSingleHolder(nullptr, "Agent/T_AgentThreadPool", 358).Text(),
            "Assertion failure (Agent/T_AgentThreadPool, line 358)");
  EXPECT_FALSE(IsSoleHolder(nullptr));
}

// The standard's examples: empty, one block, a tail that needs a second
// padding block, and many blocks.
TEST(Sha256, DigestsOfTheStandardsExamples) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha256Hex(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}
