// SPDX-License-Identifier: Apache-2.0
// The file cache against a fake user data port on 127.0.0.1, with the test
// task libraries of tests/tasklibs as the files the user serves; the agent's
// parts are built from the test platform alone.
#include "Agent/T_FileCache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <set>
#include <thread>
#include <utility>

#include "Agent/T_AgentPeer.h"
#include "FakePeers.h"
#include "SessionFixture.h"
#include "StatusAssertions.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using TNames = std::vector<std::string>;

namespace {

void* const kSession = reinterpret_cast<void*>(uintptr_t{0xABC123});

// The agent interface handed to EndSession. The test libraries' EndSession
// exports announce themselves by freeing a block named after the export.
struct TRecordingAgent : IAgent {
  TNames Freed;
  TRecordingAgent() { lpVtbl = &kTable; }
  static int32_t FreeData(IAgent* self, void* session, const char* id) {
    static_cast<TRecordingAgent*>(self)->Freed.push_back(session == kSession ? id : "another session");
    return 0;
  }
  static constexpr IAgentVtbl kTable = {nullptr, nullptr, nullptr, nullptr, nullptr, FreeData, nullptr, nullptr, nullptr};
};

// Real files; runs `BeforeMaking` once, just before the folder `Watched`
// (ending in "/") is made.
struct THookedFiles : TLinuxFileSystem {
  std::string Watched;
  std::function<void()> BeforeMaking;
  TStatus CreateOwnFolders(const std::string& base, const std::string& own) override {
    if (base + own + "/" == Watched && BeforeMaking) std::exchange(BeforeMaking, nullptr)();
    return TLinuxFileSystem::CreateOwnFolders(base, own);
  }
};

// Real files, except that every new copy fails as on a full disk.
struct TFullDiskFiles : TLinuxFileSystem {
  TStatus ReplaceFileFrom(const std::string& path, unsigned, const std::function<TStatus(IByteSink&)>&) override {
    return TStatus::FromErrno(ENOSPC, "cannot write " + path);
  }
};

// Bytes that differ from piece to piece, `size` of them.
std::string Generated(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 31 + (i >> 12));
  return bytes;
}

// A context of its own on `parts`' log, settings and temporary folder, but
// with `files`, and a connected peer.
struct TOwnContext {
  TAgentContext Context;
  TAgentPeer Peer;
  TOwnContext(TTestPlatform& platform, IFileSystem& files, const TAgentParts& parts)
      : Context(WithFiles(platform.Get(), files), parts.Context.Log(), parts.Context.Settings(), 1,
                parts.Context.TempFolder()),
        Peer(Context, parts.Closing, parts.Load, "127.0.0.1") {
    Peer.Connect();
  }
  static TPlatform WithFiles(TPlatform platform, IFileSystem& files) {
    platform.Files = &files;
    return platform;
  }
};

struct FileCacheTest : ::testing::Test {
  TTempDir Dir;
  TTestPlatform Platform;
  fake::TFakeUser User;
  TRecordingAgent Interface;
  std::unique_ptr<TAgentParts> Agent;
  std::unique_ptr<TAgentPeer> Peer;
  std::unique_ptr<TFileCache> Cache;

  void SetUp() override {
    Agent = std::make_unique<TAgentParts>(Platform, Dir, TestSettings(User.Port()));
    Peer = std::make_unique<TAgentPeer>(Agent->Context, Agent->Closing, Agent->Load, "127.0.0.1");
    Peer->Connect();
    Cache = std::make_unique<TFileCache>(Agent->Context, *Peer, kSession, &Interface);
  }
  const std::string& TempFolder() { return Agent->Context.TempFolder(); }

  // The user serves the built file `path` as `key`.
  void Serve(const std::string& key, const char* path) { User.AddFile(key, ReadTextFile(path)); }
  TNames Requests() {
    TNames texts;
    for (const auto& request : User.Taken()) texts.push_back(request.Text);
    return texts;
  }
  int Logged(const std::string& line) {
    auto lines = Platform.Debug.Taken();
    return static_cast<int>(std::count(lines.begin(), lines.end(), line + "\r"));
  }
  std::set<std::string> Listing() {
    std::set<std::string> names;
    for (const auto& item : fs::directory_iterator(Folder())) names.insert(item.path().filename().string());
    return names;
  }
  std::string Folder() { return Cache->GetCacheFolder(); }
};

}  // namespace

TEST_F(FileCacheTest, CaseVariantsAreOneFileKeptUnderTheFirstSpelling) {
  Serve("LIB.DLL", KELVRA_TASKLIB_NONE);
  EXPECT_EQ(Folder(), TempFolder() + "127.0.0.1/0000000000ABC123/");
  char buffer[KELVRA_SESSION_FOLDER_MAX];
  EXPECT_EQ(std::string(Cache->CopyCacheFolder(buffer)), Folder());

  void* module = Cache->GetLibrary("lib.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(Cache->GetLibrary("LIB.DLL"), module);
  EXPECT_EQ(Cache->GetLibrary("LIB.DLL"), module);
  EXPECT_EQ(Requests(), TNames{"GET_FILE LIB.DLL"});
  EXPECT_EQ(Listing(), std::set<std::string>{"lib.dll"});
  EXPECT_EQ(Logged("FILECACHE: Requesting file lib.dll from user."), 1);
  EXPECT_EQ(Logged("FILECACHE: File LIB.DLL reused from cache."), 2);
  EXPECT_EQ(Logged("FILECACHE: Creating local file " + Folder() + "lib.dll (original file - LIB.DLL."), 1);
  EXPECT_EQ(Logged("FILECACHE: Loading library from file " + Folder() + "lib.dll (original file - LIB.DLL."), 1);
  try {
    Cache->LoadEntryLibrary(0);
    ADD_FAILURE() << "a loaded entry was loaded again";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "Assertion failure (Agent/T_FileCache, line 316)");
  }
}

TEST_F(FileCacheTest, PathsAreFlattenedAndTheKeyGoesOnTheWire) {
  Serve("C%3a%5cWORK%5cLIB.DLL", KELVRA_TASKLIB_NONE);
  User.AddFile("..%2f..%2fESCAPE.SO", "data");
  EXPECT_NE(Cache->GetLibrary("C:\\work\\lib.dll"), nullptr);
  EXPECT_EQ(Cache->GetLibrary("lib.so,../../escape.so"), nullptr);  // lib.so is not on the user
  EXPECT_EQ(Requests(), (TNames{"GET_FILE C%3a%5cWORK%5cLIB.DLL", "GET_FILE ..%2f..%2fESCAPE.SO", "GET_FILE LIB.SO"}));
  EXPECT_EQ(Listing(), (std::set<std::string>{"C__work_lib.dll", ".._.._escape.so"}));
  EXPECT_EQ(Logged("FILECACHE: Request for file lib.so failed - NULL."), 1);
  EXPECT_EQ(Logged("FILECACHE: File lib.so not found on user."), 1);
}

TEST_F(FileCacheTest, CompanionsAreFetchedLastToFirstAndOnlyTheFirstIsLoaded) {
  Serve("MAIN.DLL", KELVRA_TASKLIB_ENDSESSION);
  Serve("PART.DLL", KELVRA_TASKLIB_UNDERSCORE);
  EXPECT_EQ(Cache->GetLibrary("MAIN.DLL,GONE.DLL"), nullptr);  // nothing of MAIN.DLL is fetched
  EXPECT_EQ(Requests(), TNames{"GET_FILE GONE.DLL"});
  ASSERT_NE(Cache->GetLibrary("MAIN.DLL,PART.DLL"), nullptr);
  EXPECT_EQ(Requests(), (TNames{"GET_FILE GONE.DLL", "GET_FILE PART.DLL", "GET_FILE MAIN.DLL"}));
  Cache->CallEndSession();
  EXPECT_EQ(Interface.Freed, TNames{"EndSession"});  // PART.DLL was never loaded
}

TEST_F(FileCacheTest, EndSessionOfEachLoadedLibraryInOrderPastAnException) {
  TNames names{"THROW.SO", "PLAIN.SO", "UNDERSCORE.SO", "BOTH.SO", "NONE.SO"};
  const char* files[] = {KELVRA_TASKLIB_THROW, KELVRA_TASKLIB_ENDSESSION, KELVRA_TASKLIB_UNDERSCORE,
                         KELVRA_TASKLIB_BOTH, KELVRA_TASKLIB_NONE};
  for (size_t i = 0; i < names.size(); ++i) {
    Serve(names[i], files[i]);
    ASSERT_NE(Cache->GetLibrary(names[i]), nullptr) << names[i];
  }
  Cache->CallEndSession();
  EXPECT_EQ(Interface.Freed, (TNames{"EndSession", "_EndSession", "EndSession"}));
  EXPECT_EQ(Logged("WORKERTHREAD: exception EndSession gave up in EndSession()"), 1);
}

TEST_F(FileCacheTest, FoldersGoWithTheSessionButTheUserFolderStaysForASibling) {
  Serve("A.SO", KELVRA_TASKLIB_NONE);
  auto sibling =
      std::make_unique<TFileCache>(Agent->Context, *Peer, reinterpret_cast<void*>(uintptr_t{1}), &Interface);
  ASSERT_NE(Cache->GetLibrary("a.so"), nullptr);
  ASSERT_NE(sibling->GetLibrary("a.so"), nullptr);
  const std::string mine = Folder() + "a.so", theirs = sibling->GetCacheFolder() + "a.so";
  EXPECT_EQ(theirs, TempFolder() + "127.0.0.1/0000000000000001/a.so");
  Cache.reset();
  EXPECT_FALSE(fs::exists(fs::path(mine).parent_path()));
  EXPECT_FALSE(Platform.Libraries.IsLoaded(mine));
  EXPECT_TRUE(fs::exists(theirs));
  sibling.reset();
  EXPECT_FALSE(fs::exists(TempFolder() + "127.0.0.1"));
}

// One session of a user ends while the next one makes its folder: the
// user's folder is removed only while no session is making its own in it.
TEST_F(FileCacheTest, ASessionEndingBesideOneStartingLeavesItItsFolder) {
  THookedFiles files;
  TOwnContext own(Platform, files, *Agent);
  const TAgentContext& context = own.Context;
  TAgentPeer& peer = own.Peer;
  Serve("A.SO", KELVRA_TASKLIB_NONE);
  auto ending = std::make_unique<TFileCache>(context, peer, reinterpret_cast<void*>(uintptr_t{1}), &Interface);
  ASSERT_NE(ending->GetLibrary("a.so"), nullptr);
  TFileCache starting(context, peer, reinterpret_cast<void*>(uintptr_t{2}), &Interface);
  std::atomic<bool> ended{false};
  std::thread ender;
  files.Watched = starting.GetCacheFolder();
  files.BeforeMaking = [&] {
    ender = std::thread([&] {
      ending.reset();
      ended = true;
    });
    // Time for the end to get in between, if it can.
    WaitUntil([&] { return ended.load(); }, std::chrono::seconds(1));
  };
  EXPECT_NE(starting.GetLibrary("a.so"), nullptr);
  ASSERT_TRUE(ender.joinable());
  ender.join();
  EXPECT_TRUE(fs::exists(starting.GetCacheFolder() + "a.so"));
}

TEST_F(FileCacheTest, ALibraryThatDoesNotLoadIsLoadedAgainOnTheNextRequest) {
  User.AddFile("BAD.SO", "not a library");
  EXPECT_EQ(Cache->GetLibrary("bad.so"), nullptr);
  EXPECT_EQ(Cache->GetLibrary("bad.so"), nullptr);
  EXPECT_EQ(Logged("FILECACHE: Loading library from file " + Folder() + "bad.so (original file - BAD.SO."), 2);
  // The main library alone misses its companion; it loads once the
  // companion lies beside it, where its RUNPATH=$ORIGIN finds it.
  Serve("LIBTASKLIB_MAIN.SO", KELVRA_TASKLIB_MAIN);
  Serve("LIBTASKLIB_PART.SO", KELVRA_TASKLIB_PART);
  EXPECT_EQ(Cache->GetLibrary("libtasklib_main.so"), nullptr);
  // The loader's own reason is in the log, for the task's author.
  EXPECT_EQ(Logged("FILECACHE: unable to load dll " + Folder() +
                   "libtasklib_main.so: libtasklib_part.so: cannot open shared object file: No such file or directory"),
            1)
      << testing::PrintToString(Platform.Debug.Taken());
  void* main = Cache->GetLibrary("libtasklib_main.so,libtasklib_part.so");
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(Requests().size(), 3u);
  auto mainValue = reinterpret_cast<int32_t (*)()>(Platform.Libraries.Symbol(main, "MainValue"));
  ASSERT_NE(mainValue, nullptr);
  EXPECT_EQ(mainValue(), 42);
  EXPECT_TRUE(Platform.Libraries.IsLoaded(Folder() + "libtasklib_part.so"));
}

TEST_F(FileCacheTest, ACompanionsEndSessionIsNotCalledForTheLibraryThatLinksIt) {
  Serve("LIBTASKLIB_OUTER.SO", KELVRA_TASKLIB_OUTER);
  Serve("LIBTASKLIB_INNER.SO", KELVRA_TASKLIB_INNER);
  void* outer = Cache->GetLibrary("libtasklib_outer.so,libtasklib_inner.so");
  ASSERT_NE(outer, nullptr);
  EXPECT_NE(Platform.Libraries.Symbol(outer, "OuterTask"), nullptr);
  Cache->CallEndSession();
  EXPECT_EQ(Interface.Freed, TNames{}) << "only the library named first is the session's";
}

TEST_F(FileCacheTest, ACopyThatCannotBeWrittenIsWrittenOnTheNextRequest) {
  Serve("LIB.SO", KELVRA_TASKLIB_NONE);
  const std::string userFolder = TempFolder() + "127.0.0.1";
  WriteTextFile(userFolder, "a file where the user's folder belongs");
  EXPECT_EQ(Cache->GetLibrary("lib.so"), nullptr);
  EXPECT_EQ(Logged("FILECACHE: Unagle to create local file lib.so."), 1);
  fs::remove(userFolder);
  EXPECT_NE(Cache->GetLibrary("lib.so"), nullptr);
  EXPECT_EQ(Requests().size(), 1u);
}

TEST_F(FileCacheTest, NamesThatAreNoFileOfTheSessionFolderAreRefused) {
  for (const char* key : {"", ".", "..", "A"}) User.AddFile(key, "data");  // "a\0b" would go out as "A"
  for (const std::string& name : TNames{"", ".", "..", "lib.so,..", std::string("a\0b", 3)})
    EXPECT_EQ(Cache->GetLibrary(name), nullptr) << name;
  EXPECT_EQ(Requests().size(), 0u) << "a file is asked for only where its copy can go";
  EXPECT_EQ(Logged("FILECACHE: Unagle to create local file ..."), 2);  // the name ".." and a full stop
  EXPECT_TRUE(fs::is_empty(TempFolder()));  // not even a folder was made
}

TEST_F(FileCacheTest, ACopyReplacesWhateverLiesAtItsPath) {
  Serve("LIB.SO", KELVRA_TASKLIB_NONE);
  Serve("OLD.SO", KELVRA_TASKLIB_NONE);
  fs::create_directories(Folder());
  WriteTextFile(Dir / "outside", "kept");
  fs::create_symlink(Dir / "outside", Folder() + "lib.so");
  WriteTextFile(Folder() + "old.so", "left by an earlier run");
  EXPECT_NE(Cache->GetLibrary("lib.so"), nullptr);
  EXPECT_NE(Cache->GetLibrary("old.so"), nullptr);
  EXPECT_EQ(ReadTextFile(Dir / "outside"), "kept");
  EXPECT_FALSE(fs::is_symlink(Folder() + "lib.so"));
  EXPECT_EQ(Listing(), (std::set<std::string>{"lib.so", "old.so"}));  // no temporary file left
}

TEST_F(FileCacheTest, ACopyIsRefusedWhileAnotherLibraryIsLoadedUnderItsPath) {
  Serve("LIB.SO", KELVRA_TASKLIB_UNDERSCORE);
  Serve("A%3aB.SO", KELVRA_TASKLIB_NONE);
  Serve("A_B.SO", KELVRA_TASKLIB_ENDSESSION);
  // An earlier session's library at this path that would not unload.
  fs::create_directories(Folder());
  fs::copy_file(KELVRA_TASKLIB_NONE, Folder() + "lib.so");
  void* stale = nullptr;
  TStatus loaded = Platform.Libraries.Load(Folder() + "lib.so", stale);
  ASSERT_TRUE(loaded) << loaded.Text();
  EXPECT_EQ(Cache->GetLibrary("lib.so"), nullptr);
  ASSERT_TRUE(Platform.Libraries.Unload(stale));
  EXPECT_NE(Cache->GetLibrary("lib.so"), nullptr);
  // Two names of one flat name: the second cannot be loaded beside the first.
  EXPECT_NE(Cache->GetLibrary("a:b.so"), nullptr);
  EXPECT_EQ(Cache->GetLibrary("a_b.so"), nullptr);
  EXPECT_EQ(Logged("FILECACHE: Unagle to create local file lib.so."), 1);
  EXPECT_EQ(Logged("FILECACHE: Unagle to create local file a_b.so."), 1);
  EXPECT_EQ(Logged("FILECACHE: cannot write " + Folder() + "lib.so: a library loaded from that file is still in use"), 1);
}

// The log says why a copy could not be written or a library did not load;
// the user still hears only that the library did not load.
TEST_F(FileCacheTest, WhyACopyOrALibraryFailedIsLogged) {
  TFullDiskFiles files;
  TOwnContext own(Platform, files, *Agent);
  TFileCache full(own.Context, own.Peer, reinterpret_cast<void*>(uintptr_t{7}), &Interface);
  Serve("LIB.SO", KELVRA_TASKLIB_NONE);
  EXPECT_EQ(full.GetLibrary("lib.so"), nullptr);
  EXPECT_EQ(Logged("FILECACHE: cannot write " + full.GetCacheFolder() + "lib.so: No space left on device"), 1)
      << testing::PrintToString(Platform.Debug.Taken());
  EXPECT_EQ(Logged("FILECACHE: Unagle to create local file lib.so."), 1);

  // A file that is no library: the loader's own words.
  User.AddFile("BAD.SO", std::string(256, 'x'));
  EXPECT_EQ(Cache->GetLibrary("bad.so"), nullptr);
  EXPECT_EQ(Logged("FILECACHE: unable to load dll " + Folder() + "bad.so: " + Folder() + "bad.so: invalid ELF header"),
            1)
      << testing::PrintToString(Platform.Debug.Taken());
}

// A link planted in the place of the user's or the session's folder is
// neither written through nor emptied at the session's end.
TEST_F(FileCacheTest, LinksInThePlaceOfTheAgentsFoldersAreNotFollowed) {
  Serve("LIB.SO", KELVRA_TASKLIB_NONE);
  const std::string userFolder = TempFolder() + "127.0.0.1";
  const std::string sessionName = "0000000000ABC123";
  // The links' target holds what a followed link would overwrite or delete.
  const std::string target = Dir / "target";
  fs::create_directories(target + "/" + sessionName);
  WriteTextFile(target + "/lib.so", "kept");
  WriteTextFile(target + "/" + sessionName + "/lib.so", "kept");

  fs::create_symlink(target, userFolder);
  EXPECT_EQ(Cache->GetLibrary("lib.so"), nullptr);
  EXPECT_EQ(Logged("FILECACHE: cannot create " + userFolder + ": a symbolic link is in its place"), 1)
      << testing::PrintToString(Platform.Debug.Taken());
  Cache.reset();
  EXPECT_TRUE(fs::is_symlink(userFolder));
  EXPECT_EQ(ReadTextFile(target + "/" + sessionName + "/lib.so"), "kept");

  fs::remove(userFolder);
  fs::create_directory(userFolder);
  fs::create_symlink(target, userFolder + "/" + sessionName);
  Cache = std::make_unique<TFileCache>(Agent->Context, *Peer, kSession, &Interface);
  EXPECT_EQ(Cache->GetLibrary("lib.so"), nullptr);
  EXPECT_EQ(Logged("FILECACHE: cannot create " + userFolder + "/" + sessionName + ": a symbolic link is in its place"),
            1);
  Cache.reset();
  EXPECT_TRUE(fs::is_symlink(userFolder + "/" + sessionName));
  EXPECT_EQ(ReadTextFile(target + "/lib.so"), "kept");
  EXPECT_EQ(ReadTextFile(target + "/" + sessionName + "/lib.so"), "kept");
}

// Whatever the umask: folders 0700, the library 0700, other files 0600.
TEST_F(FileCacheTest, FoldersAndCopiesAreTheAgentsAlone) {
  Serve("LIBTASKLIB_MAIN.SO", KELVRA_TASKLIB_MAIN);
  Serve("LIBTASKLIB_PART.SO", KELVRA_TASKLIB_PART);
  const mode_t saved = ::umask(0);
  void* main = Cache->GetLibrary("libtasklib_main.so,libtasklib_part.so");
  ::umask(saved);
  ASSERT_NE(main, nullptr);
  auto mode = [](const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
  };
  EXPECT_EQ(mode(TempFolder() + "127.0.0.1"), 0700u);
  EXPECT_EQ(mode(Folder()), 0700u);
  EXPECT_EQ(mode(Folder() + "libtasklib_main.so"), 0700u);
  EXPECT_EQ(mode(Folder() + "libtasklib_part.so"), 0600u);
}

// The session folder lies below whatever temporary folder the agent lends,
// and the session's end removes its own folders there and nothing above.
// A folder name longer than a task's buffer reaches the task cut.
TEST_F(FileCacheTest, TheSessionFolderLiesBelowTheTemporaryFolderItIsLent) {
  Serve("LIB.SO", KELVRA_TASKLIB_NONE);
  const std::string chosen = Dir / "elsewhere/temp/";
  fs::create_directories(chosen);
  TAgentContext context(Platform.Get(), Agent->Context.Log(), Agent->Context.Settings(), 1, chosen);
  auto cache = std::make_unique<TFileCache>(context, *Peer, kSession, &Interface);
  EXPECT_EQ(cache->GetCacheFolder(), chosen + "127.0.0.1/0000000000ABC123/");
  ASSERT_NE(cache->GetLibrary("lib.so"), nullptr);
  EXPECT_TRUE(fs::is_regular_file(chosen + "127.0.0.1/0000000000ABC123/lib.so"));
  EXPECT_TRUE(fs::is_empty(TempFolder())) << "nothing goes to the agent's usual place";
  cache.reset();
  EXPECT_TRUE(fs::is_directory(chosen));
  EXPECT_TRUE(fs::is_empty(chosen));

  const std::string deep = "/" + std::string(KELVRA_SESSION_FOLDER_MAX + 100, 'd') + "/";
  TAgentContext deepContext(Platform.Get(), Agent->Context.Log(), Agent->Context.Settings(), 1, deep);
  TFileCache deepCache(deepContext, *Peer, kSession, &Interface);
  char buffer[KELVRA_SESSION_FOLDER_MAX];
  const std::string copied = deepCache.CopyCacheFolder(buffer);
  EXPECT_EQ(copied.size(), size_t{KELVRA_SESSION_FOLDER_MAX - 1});
  EXPECT_TRUE(deep.starts_with(copied));
}

// A file far larger than what the agent holds of it at a time lands whole
// on disk, beside the library that needs it, with a data file's mode.
TEST_F(FileCacheTest, ALargeFileArrivesWholeOnDisk) {
  const std::string big = Generated(40 << 20);
  Serve("LIB.SO", KELVRA_TASKLIB_NONE);
  User.AddFile("BIG.DAT", big);
  ASSERT_NE(Cache->GetLibrary("lib.so,big.dat"), nullptr);
  EXPECT_TRUE(ReadTextFile(Folder() + "big.dat") == big);
  EXPECT_EQ(fs::status(Folder() + "big.dat").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(Listing(), (std::set<std::string>{"lib.so", "big.dat"}));
  EXPECT_EQ(Logged("FILECACHE: Creating local file " + Folder() + "big.dat (original file - BIG.DAT."), 1);
}

// The user's refusal reads as it always has; a user whose connection ends
// half-way through a file leaves no part of it on disk, and the log and the
// caller hear what happened instead.
TEST_F(FileCacheTest, AFileCutShortLeavesNothingAndSaysWhy) {
  TLibraryRefusal refusal;
  EXPECT_EQ(Cache->GetLibrary("gone.so", &refusal), nullptr);
  EXPECT_EQ(refusal.Kind, TLibraryRefusal::TKind::None);
  EXPECT_EQ(Logged("FILECACHE: Request for file gone.so failed - NULL."), 1);
  EXPECT_EQ(Logged("FILECACHE: File gone.so not found on user."), 1);
  EXPECT_EQ(Logged("AGENTPEER: GET_FILE GONE.SO failed, file not found on user, IP=127.0.0.1"), 1);
  EXPECT_TRUE(Listing().empty());

  User.AddFile("BIG.SO", Generated(32 << 20));
  User.StallAt("GET_FILE BIG.SO");  // half of it, then silence until released
  auto fetching = std::async(std::launch::async, [&] { return Cache->GetLibrary("big.so", &refusal); });
  auto onDisk = [&] {
    uintmax_t bytes = 0;
    for (const auto& item : fs::directory_iterator(Folder())) bytes += item.file_size();
    return bytes;
  };
  EXPECT_TRUE(WaitUntil([&] { return onDisk() >= (8u << 20); }, std::chrono::seconds(30)))
      << "the bytes go to disk as they arrive";
  // The user goes (once the half it sends has left it).
  EXPECT_TRUE(WaitUntil(
      [&] {
        User.ReleaseStalls();
        return fetching.wait_for(std::chrono::milliseconds(50)) == std::future_status::ready;
      },
      std::chrono::seconds(30)));
  EXPECT_EQ(fetching.get(), nullptr);
  EXPECT_EQ(refusal.Kind, TLibraryRefusal::TKind::Unreceived);
  EXPECT_EQ(refusal.Why.Text(), "big.so: SocketReadStreamTo: the peer closed the connection");
  EXPECT_EQ(Logged("FILECACHE: Unable to receive file big.so: SocketReadStreamTo: the peer closed the connection"), 1)
      << testing::PrintToString(Platform.Debug.Taken());
  EXPECT_EQ(Logged("FILECACHE: File big.so not found on user."), 0);
  EXPECT_TRUE(Listing().empty()) << "no partial file";
  EXPECT_FALSE(Peer->Connected()) << "what is left of the file is never read as frames";
}
