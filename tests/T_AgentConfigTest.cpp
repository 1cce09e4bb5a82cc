// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_AgentConfig.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "Platform/T_TcpSocket.h"
#include "TestSupport.h"

namespace {

// Reads settings from a file holding `text` on a machine of `processors`.
struct TConfigFixture {
  TTempDir Dir;
  TTestPlatform Platform;
  std::string File = Dir / "kelvra.INI";
  TAgentConfig Config{Platform.Files, Platform.System, File};
  std::vector<std::string> Refused;

  explicit TConfigFixture(const std::string* text, int processors = 4) {
    if (text != nullptr) WriteTextFile(File, *text);
    Platform.System.Processors = processors;
    Refused = Config.ReadConfig();
  }
};

TAgentSettings Read(const std::string& text) { return TConfigFixture(&text).Config.Settings(); }

}  // namespace

TEST(AgentConfigRead, NoFileGivesEveryDefault) {
  TConfigFixture fixture(nullptr);
  const TAgentSettings& s = fixture.Config.Settings();
  EXPECT_EQ(s.BindIp, "");
  EXPECT_EQ(s.BindPort, 4102);
  EXPECT_EQ(s.CoordinatorIp, "");
  EXPECT_EQ(s.CoordinatorPort, 4100);
  EXPECT_EQ(s.DataPort, 4103);
  EXPECT_TRUE(s.UseHT);
  EXPECT_TRUE(s.ExplicitCPU);
  EXPECT_EQ(s.FreeCPUCount, 0u);
  EXPECT_EQ(s.SuspendTimeout, 30);
  EXPECT_EQ(s.BroadcastPort, 4104);
  EXPECT_EQ(s.CoordinatorBroadcastPort, 4105);
  EXPECT_FALSE(s.EnableDebugOutput);
  EXPECT_EQ(s.MaxDataCacheSize, 100000);
  EXPECT_TRUE(s.AllowDiscardCoordinatorIp);
  EXPECT_EQ(fixture.Config.GetCoordinatorIp(), "");
  EXPECT_EQ(fixture.Config.PoolSize(), 4);
}

TEST(AgentConfigRead, EveryKeyFromItsOwnSection) {
  TAgentSettings s = Read(
      "[agent]\nbind_ip=127.0.0.2\nbind_port=5102\nuseHT=0\nexplicitCPU=0\nfreeCPUCount=1\n"
      "suspend_timeout=5\nbroadcast_port=5104\nenableDebugOutput=1\nmaxDataCacheSize=7\n"
      "[coordinator]\ncoordinator_ip=127.0.0.1\nbind_port=5100\nbroadcast_port=5105\n"
      "allowDiscardCoordinatorIp=0\n[user]\ndata_port=5103\n");
  EXPECT_EQ(s.BindIp, "127.0.0.2");
  EXPECT_EQ(s.BindPort, 5102);
  EXPECT_EQ(s.CoordinatorIp, "127.0.0.1");
  EXPECT_EQ(s.CoordinatorPort, 5100);
  EXPECT_EQ(s.DataPort, 5103);
  EXPECT_FALSE(s.UseHT);
  EXPECT_FALSE(s.ExplicitCPU);
  EXPECT_EQ(s.FreeCPUCount, 1u);
  EXPECT_EQ(s.SuspendTimeout, 5);
  EXPECT_EQ(s.BroadcastPort, 5104);
  EXPECT_EQ(s.CoordinatorBroadcastPort, 5105);
  EXPECT_TRUE(s.EnableDebugOutput);
  EXPECT_EQ(s.MaxDataCacheSize, 7);
  EXPECT_FALSE(s.AllowDiscardCoordinatorIp);
}

TEST(AgentConfigRead, PortsKeepTheLow16Bits) {
  EXPECT_EQ(Read("[agent]\nbind_port=0x1007\n").BindPort, 4103);
  EXPECT_EQ(Read("[agent]\nbind_port=70000\n").BindPort, 4464);
  EXPECT_EQ(Read("[agent]\nbind_port=-1\n").BindPort, 65535);
  EXPECT_EQ(Read("[user]\ndata_port=$10000\n").DataPort, 0);
}

TEST(AgentConfigRead, BooleansAreNumbers) {
  EXPECT_FALSE(Read("[agent]\nenableDebugOutput=yes\n").EnableDebugOutput);
  EXPECT_FALSE(Read("[agent]\nenableDebugOutput=true\n").EnableDebugOutput);
  EXPECT_TRUE(Read("[agent]\nenableDebugOutput=2\n").EnableDebugOutput);
  EXPECT_TRUE(Read("[agent]\nenableDebugOutput=-1\n").EnableDebugOutput);
  EXPECT_FALSE(Read("[coordinator]\nallowDiscardCoordinatorIp=0\n").AllowDiscardCoordinatorIp);
  EXPECT_TRUE(Read("[coordinator]\nallowDiscardCoordinatorIp=no\n").AllowDiscardCoordinatorIp);
}

TEST(AgentConfigRead, WordsBlanksAndQuotes) {
  TAgentSettings s = Read(
      "[agent]\nbind_port = \"5000\" \nsuspend_timeout=thirty\nbind_ip=' 127.0.0.1 '\n"
      "[coordinator]\ncoordinator_ip = \"127.0.0.1\"\n");
  EXPECT_EQ(s.BindPort, 5000);
  EXPECT_EQ(s.SuspendTimeout, 30);
  EXPECT_EQ(s.BindIp, " 127.0.0.1 ");
  EXPECT_EQ(s.CoordinatorIp, "127.0.0.1");
}

TEST(AgentConfigRead, KeysInTheWrongSectionAreNotRead) {
  TAgentSettings s = Read("[agent]\ncoordinator_ip=127.0.0.1\ndata_port=1\n[coordinator]\nbind_ip=127.0.0.2\n");
  EXPECT_EQ(s.CoordinatorIp, "");
  EXPECT_EQ(s.DataPort, 4103);
  EXPECT_EQ(s.BindIp, "");
}

TEST(AgentConfigRead, AnAddressLongerThan19CharactersIsRefused) {
  const std::string text = "[coordinator]\ncoordinator_ip=1234567890123456789012\n[agent]\nbind_ip=123.123.123.123.123\n";
  TConfigFixture fixture(&text);
  EXPECT_EQ(fixture.Config.Settings().CoordinatorIp, "");
  EXPECT_EQ(fixture.Config.GetCoordinatorIp(), "");
  EXPECT_EQ(fixture.Config.Settings().BindIp, "123.123.123.123.123");  // exactly 19 fits
  ASSERT_EQ(fixture.Refused.size(), 1u);
  EXPECT_NE(fixture.Refused[0].find("coordinator_ip=1234567890123456789012"), std::string::npos);
}

TEST(AgentConfigRead, AnOverLongBindAddressStopsTheStartNamingTheKey) {
  // Dropped, it would leave the lobby listening on every address.
  const std::string text = "[agent]\nbind_ip=123.123.123.123.1234\n";
  TTempDir dir;
  TTestPlatform platform;
  WriteTextFile(dir / "kelvra.INI", text);
  TAgentConfig config(platform.Files, platform.System, dir / "kelvra.INI");
  try {
    config.ReadConfig();
    FAIL() << "no error raised";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()),
              "[agent] bind_ip=123.123.123.123.1234: an address has at most 19 characters; not starting rather than "
              "listening on every address");
  }
  // Elsewhere an over-long address is only refused.
  EXPECT_EQ(Read("[agent]\nbind_ip=127.0.0.1\n[coordinator]\nbind_ip=123.123.123.123.1234\n").BindIp, "127.0.0.1");
}

namespace {

// The address a.b.c.d as the socket layer gives it (network byte order).
uint32_t Address(const char* text) {
  uint32_t address = 0;
  EXPECT_TRUE(TTcpSocket::ParseAddress(text, address)) << text;
  return address;
}

}  // namespace

TEST(AgentConfigRead, AllowedUsersAreAddressesAndBlocks) {
  const TAgentSettings everyone = Read("");
  EXPECT_TRUE(everyone.AllowedUsers.AllowsEveryone());
  EXPECT_TRUE(everyone.AllowedUsers.Allows(Address("203.0.113.9")));
  EXPECT_TRUE(Read("[agent]\nallowed_users= \n").AllowedUsers.AllowsEveryone());

  const TAgentSettings s = Read("[agent]\nallowed_users=192.0.2.7, 10.1.0.0/16 ,172.16.5.9/12,127.0.0.1/32\n");
  for (const char* allowed : {"192.0.2.7", "10.1.0.0", "10.1.255.255", "172.16.0.1", "172.31.255.255", "127.0.0.1"})
    EXPECT_TRUE(s.AllowedUsers.Allows(Address(allowed))) << allowed;
  for (const char* refused : {"192.0.2.6", "192.0.2.8", "10.0.255.255", "10.2.0.0", "172.32.0.0", "127.0.0.2", "7.2.0.192"})
    EXPECT_FALSE(s.AllowedUsers.Allows(Address(refused))) << refused;
  EXPECT_TRUE(Read("[agent]\nallowed_users=0.0.0.0/0\n").AllowedUsers.Allows(Address("198.51.100.1")));
}

// The installed settings let only this machine in until the owner names the
// grid's users.
TEST(AgentConfigRead, ThePackagedSettingsLetOnlyThisMachineIn) {
  const std::string text = ReadTextFile(KELVRA_PACKAGED_SETTINGS);
  TConfigFixture fixture(&text);
  EXPECT_TRUE(fixture.Refused.empty()) << fixture.Refused.front();
  const TAgentSettings& packaged = fixture.Config.Settings();
  EXPECT_TRUE(packaged.AllowedUsers.Allows(Address("127.0.0.1")));
  EXPECT_FALSE(packaged.AllowedUsers.Allows(Address("192.0.2.7")));
  EXPECT_FALSE(packaged.AllowedUsers.Allows(Address("127.0.0.2")));
  EXPECT_TRUE(packaged.TrustedKeys.Empty());
  EXPECT_EQ(packaged.Isolation, TAgentSettings::TIsolation::Process);
  EXPECT_EQ(packaged.CoordinatorIp, "");
}

TEST(AgentConfigRead, AMalformedAllowedUsersEntryStopsTheStartNamingTheKeyAndTheEntry) {
  // Dropped, it would leave the lobby serving every address.
  for (const char* bad : {"10.0.0.256", "10.0.0.0/33", "10.0.0.0/", "10.0.0.0/-1", "10.0.0.0/8/8", "host.example",
                          "10.0.0", "", "10.0.0.0/ 8", "::1"}) {
    const std::string value = std::string("127.0.0.1, ") + bad + ",192.0.2.1";
    TTempDir dir;
    TTestPlatform platform;
    WriteTextFile(dir / "kelvra.INI", "[agent]\nallowed_users=" + value + "\n");
    TAgentConfig config(platform.Files, platform.System, dir / "kelvra.INI");
    try {
      config.ReadConfig();
      ADD_FAILURE() << "no error raised for " << bad;
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()), "[agent] allowed_users=" + value + ": '" + bad +
                                               "' is no IPv4 address or address/prefix block; not starting rather "
                                               "than serving every address");
    }
  }
}

TEST(AgentConfigRead, MaxSessionsIsAtLeastOne) {
  EXPECT_EQ(Read("").MaxSessions, 64);
  EXPECT_EQ(Read("[agent]\nmax_sessions=2\n").MaxSessions, 2);
  for (const char* refused : {"0", "-5"}) {
    const std::string text = std::string("[agent]\nmax_sessions=") + refused + "\n";
    TConfigFixture fixture(&text);
    EXPECT_EQ(fixture.Config.Settings().MaxSessions, 64);
    EXPECT_EQ(fixture.Refused, std::vector<std::string>{"AGENT: Ignoring [agent] max_sessions=" + std::string(refused) +
                                                        ": at least one session must be allowed; using 64"});
  }
}

TEST(AgentConfigPoolSize, ProcessorsMinusFreeCountAtLeastOne) {
  EXPECT_EQ(TAgentConfig::ComputePoolSize(4, 1), 3);
  EXPECT_EQ(TAgentConfig::ComputePoolSize(4, 4), 1);
  EXPECT_EQ(TAgentConfig::ComputePoolSize(2, 7), 1);
  EXPECT_EQ(TAgentConfig::ComputePoolSize(10, 0), 10);
  EXPECT_EQ(TAgentConfig::ComputePoolSize(4, 0xFFFFFFFFu), 1);
}

TEST(AgentConfigPoolSize, FromTheFileAndTheCappedProcessorCount) {
  const std::string negative = "[agent]\nfreeCPUCount=-1\n";
  EXPECT_EQ(TConfigFixture(&negative, 4).Config.PoolSize(), 1);
  const std::string two = "[agent]\nfreeCPUCount=2\n";
  EXPECT_EQ(TConfigFixture(&two, 12).Config.PoolSize(), 8);  // 10 (capped) - 2
  EXPECT_EQ(TConfigFixture(nullptr, 0).Config.PoolSize(), 1);
}

TEST(AgentConfigSave, CreatesTheFileWhenMissing) {
  TConfigFixture fixture(nullptr);
  fixture.Config.SetCoordinatorIp("127.0.0.9");
  ASSERT_OK(fixture.Config.SaveCoordinatorIp());
  EXPECT_EQ(ReadTextFile(fixture.File), "[coordinator]\ncoordinator_ip=127.0.0.9\n");
}

TEST(AgentConfigSave, KeepsEveryOtherLineAndReadsBack) {
  const std::string text =
      "; written by hand\n[agent]\nbind_port=5102\n\n[Coordinator]\nBind_Port=5100\n"
      "COORDINATOR_IP=\n[user]\ndata_port=5103\n";
  TConfigFixture fixture(&text);
  fixture.Config.SetCoordinatorIp("127.0.0.3");
  ASSERT_OK(fixture.Config.SaveCoordinatorIp());
  std::string expected = text;
  expected.replace(expected.find("COORDINATOR_IP="), 15, "COORDINATOR_IP=127.0.0.3");
  EXPECT_EQ(ReadTextFile(fixture.File), expected);

  TAgentConfig again(fixture.Platform.Files, fixture.Platform.System, fixture.File);
  again.ReadConfig();
  EXPECT_EQ(again.GetCoordinatorIp(), "127.0.0.3");
  EXPECT_EQ(again.Settings().BindPort, 5102);
}

TEST(AgentConfigSave, FollowsASymbolicLinkAndKeepsTheMode) {
  TTempDir dir;
  TTestPlatform platform;
  WriteTextFile(dir / "real.INI", "[agent]\nbind_port=1\n");
  ::chmod((dir / "real.INI").c_str(), 0600);
  std::filesystem::create_symlink(dir / "real.INI", dir / "kelvra.INI");
  TAgentConfig config(platform.Files, platform.System, dir / "kelvra.INI");
  config.ReadConfig();
  config.SetCoordinatorIp("127.0.0.4");
  ASSERT_OK(config.SaveCoordinatorIp());
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "kelvra.INI"));
  EXPECT_EQ(ReadTextFile(dir / "real.INI"), "[agent]\nbind_port=1\n[coordinator]\ncoordinator_ip=127.0.0.4\n");
  struct stat info {};
  ::stat((dir / "real.INI").c_str(), &info);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(AgentConfigSave, AnUnwritableFileFailsWithUnableToWriteAndTheSystemsReason) {
  TTempDir dir;
  TReadOnlyFiles files;
  TFakeSystem system;
  const std::string file = dir / "kelvra.INI";
  WriteTextFile(file, "[agent]\n");
  TAgentConfig config(files, system, file);
  config.ReadConfig();
  config.SetCoordinatorIp("127.0.0.5");
  const TStatus saved = config.SaveCoordinatorIp();
  EXPECT_EQ(saved.Text(), "Unable to write to " + file + ": Read-only file system");
  EXPECT_EQ(saved.Code(), EROFS);
  EXPECT_EQ(ReadTextFile(file), "[agent]\n");
  // The lock was released on the way out.
  EXPECT_EQ(config.GetCoordinatorIp(), "127.0.0.5");
}

TEST(AgentConfigSave, AFolderThatDoesNotExistFailsWithUnableToWrite) {
  TTempDir dir;
  TTestPlatform platform;
  TAgentConfig config(platform.Files, platform.System, dir / "missing/kelvra.INI");
  config.ReadConfig();
  config.SetCoordinatorIp("127.0.0.5");
  EXPECT_EQ(config.SaveCoordinatorIp().Context(), "Unable to write to " + (dir / "missing/kelvra.INI"));
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

// A file system on which an existing file cannot be read.
class TUnreadableFiles : public TLinuxFileSystem {
 public:
  TStatus ReadFile(const std::string& path, std::string&) override {
    return TStatus::FromErrno(EACCES, "cannot read " + path);
  }
};

TEST(AgentConfigSave, AnUnreadableFileIsNotReplaced) {
  TTempDir dir;
  TUnreadableFiles files;
  TFakeSystem system;
  const std::string file = dir / "kelvra.INI";
  WriteTextFile(file, "[agent]\nbind_port=5102\n");
  TAgentConfig config(files, system, file);
  config.SetCoordinatorIp("127.0.0.6");
  EXPECT_EQ(config.SaveCoordinatorIp().Text(), "Unable to write to " + file + ": Permission denied");
  EXPECT_EQ(ReadTextFile(file), "[agent]\nbind_port=5102\n");
}

// Sessions run in processes unless the settings say thread; what tasks may
// do there is opened key by key; a word that is no isolation, or a folder
// that is not absolute, stops the start rather than run tasks unconfined.
TEST(AgentConfigRead, IsolationAndWhatTasksMayDo) {
  const TAgentSettings defaults = Read("");
  EXPECT_EQ(defaults.Isolation, TAgentSettings::TIsolation::Process);
  EXPECT_TRUE(defaults.TaskReadPaths.empty());
  EXPECT_FALSE(defaults.TaskNetwork);
  EXPECT_FALSE(defaults.TaskExec);
  EXPECT_EQ(defaults.SessionMemoryLimitMiB, 0u) << "0: half of the machine's memory";

  const TAgentSettings s = Read(
      "[agent]\nisolation=Thread\ntask_read_paths=/srv/data::/opt/x\ntask_write_paths=/srv/out\n"
      "task_network=1\ntask_exec=1\nsession_memory_limit=512\n");
  EXPECT_EQ(s.Isolation, TAgentSettings::TIsolation::Thread);
  EXPECT_EQ(s.TaskReadPaths, (std::vector<std::string>{"/srv/data", "/opt/x"}));
  EXPECT_EQ(s.TaskWritePaths, std::vector<std::string>{"/srv/out"});
  EXPECT_TRUE(s.TaskNetwork);
  EXPECT_TRUE(s.TaskExec);
  EXPECT_EQ(s.SessionMemoryLimitMiB, 512u);

  const std::string zero = "[agent]\nsession_memory_limit=0\n";
  TConfigFixture refused(&zero);
  EXPECT_EQ(refused.Config.Settings().SessionMemoryLimitMiB, 0u);
  ASSERT_EQ(refused.Refused.size(), 1u);
  EXPECT_EQ(refused.Refused[0].rfind("AGENT: Ignoring [agent] session_memory_limit=0", 0), 0u);

  for (const std::string bad : {"[agent]\nisolation=container\n", "[agent]\ntask_write_paths=out\n"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(Read(bad), std::runtime_error);
  }
}

// One address may hold at most max_sessions_per_user sessions (16), never
// more than max_sessions; below one is refused.
TEST(AgentConfigRead, SessionsPerUser) {
  EXPECT_EQ(Read("").MaxSessionsPerUser, 16);
  EXPECT_EQ(Read("[agent]\nmax_sessions_per_user=3\n").MaxSessionsPerUser, 3);
  EXPECT_EQ(Read("[agent]\nmax_sessions=4\nmax_sessions_per_user=9\n").MaxSessionsPerUser, 4);
  const std::string zero = "[agent]\nmax_sessions_per_user=0\n";
  TConfigFixture refused(&zero);
  EXPECT_EQ(refused.Config.Settings().MaxSessionsPerUser, 16);
  ASSERT_EQ(refused.Refused.size(), 1u);
  EXPECT_EQ(refused.Refused[0].rfind("AGENT: Ignoring [agent] max_sessions_per_user=0", 0), 0u);
}
