// SPDX-License-Identifier: Apache-2.0
#include "AgentOptions.h"
#include "Agent/T_Agent.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "Agent/T_MainThreadQueue.h"
#include "TestSupport.h"

namespace {

// An agent core on a fake machine with its own data folder and settings.
class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Platform.System.DataFolder = Dir / "data";
    // Sessions in the agent's process: the log holds only what a test writes.
    WriteTextFile(Dir / "kelvra.INI", SafeSettings("enableDebugOutput=1\nisolation=thread\n"));
  }

  // The agent core alone: these tests look at it without a status thread.
  std::unique_ptr<TAgent> MakeAgent() {
    return std::make_unique<TAgent>(Platform.Get(), Dir / "kelvra.INI", MainThread, TestAgentOptions(false));
  }

  TTempDir Dir;
  TTestPlatform Platform;
  TMainThreadQueue MainThread;
};

}  // namespace

TEST_F(AgentTest, CreatesTheTemporaryFolderUnderTheDataHome) {
  auto agent = MakeAgent();
  EXPECT_EQ(agent->Context().TempFolder(), Dir / "data/kelvra/TEMP/");
  EXPECT_TRUE(std::filesystem::is_directory(agent->Context().TempFolder()));
  EXPECT_FALSE(std::filesystem::exists(agent->Context().TempFolder() + "dummy.txt"));
}

TEST_F(AgentTest, WithoutADataHomeOrATemporaryFolderTheAgentDoesNotStart) {
  // Never "/kelvra/TEMP/" at the root of the file system.
  Platform.System.DataFolder = "";
  struct TRecordingFiles : TLinuxFileSystem {
    int Calls = 0;
    TStatus CreateOwnFolders(const std::string&, const std::string&) override {
      ++Calls;
      return TStatus::FromErrno(EACCES, "cannot create /x/kelvra");
    }
  } files;
  TPlatform platform = Platform.Get();
  platform.Files = &files;
  try {
    TAgent agent(platform, Dir / "kelvra.INI", MainThread, TestAgentOptions(false));
    FAIL() << "the agent started";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()),
              "no folder for the session files (neither XDG_DATA_HOME nor a home folder)");
  }
  EXPECT_EQ(files.Calls, 0);
  Platform.System.DataFolder = "/x";
  EXPECT_THROW(TAgent(platform, Dir / "kelvra.INI", MainThread, TestAgentOptions(false)), std::runtime_error);
  EXPECT_EQ(files.Calls, 1);
}

TEST_F(AgentTest, ReadsSettingsAndPoolSize) {
  Platform.System.Processors = 12;
  auto agent = MakeAgent();
  EXPECT_EQ(agent->PoolSize(), 10);
  EXPECT_EQ(agent->Config().GetCoordinatorIp(), "127.0.0.1");
  EXPECT_FALSE(agent->Settings().AllowDiscardCoordinatorIp);
  EXPECT_EQ(agent->Settings().SuspendTimeout, 0);
  EXPECT_FALSE(agent->Closing());
}

TEST_F(AgentTest, DebugWriteFollowsTheSetting) {
  auto agent = MakeAgent();
  agent->Context().DebugWrite("AGENT: %s has %d tasks", "10.0.0.7", 3);
  EXPECT_EQ(Platform.Debug.Taken(), std::vector<std::string>{"AGENT: 10.0.0.7 has 3 tasks\r"});

  WriteTextFile(Dir / "kelvra.INI", SafeSettings());
  auto quiet = MakeAgent();
  quiet->Context().DebugWrite("AGENT: %s", "never");
  EXPECT_EQ(Platform.Debug.Taken().size(), 1u);
}

TEST_F(AgentTest, RefusedAddressIsLoggedOnce) {
  // No status thread here, so an empty coordinator address never broadcasts.
  WriteTextFile(Dir / "kelvra.INI", "[agent]\nenableDebugOutput=1\nsuspend_timeout=0\nbind_port=0\nisolation=thread\n"
                                    "[coordinator]\ncoordinator_ip=1111.2222.3333.4444.5\nallowDiscardCoordinatorIp=0\n");
  auto agent = MakeAgent();
  EXPECT_EQ(agent->Config().GetCoordinatorIp(), "");
  ASSERT_EQ(Platform.Debug.Taken().size(), 1u);
  EXPECT_EQ(Platform.Debug.Taken()[0].rfind("AGENT: ", 0), 0u);
}

TEST_F(AgentTest, AnOverLongBindAddressStopsTheStart) {
  WriteTextFile(Dir / "kelvra.INI", "[agent]\nenableDebugOutput=1\nsuspend_timeout=0\nbind_port=0\n"
                                    "bind_ip=1111.2222.3333.4444.5\n"
                                    "[coordinator]\ncoordinator_ip=127.0.0.1\nallowDiscardCoordinatorIp=0\n");
  EXPECT_THROW(MakeAgent(), std::runtime_error);
  EXPECT_TRUE(Platform.Debug.Taken().empty());
}

TEST_F(AgentTest, StatusTextWithoutSessions) {
  auto agent = MakeAgent();
  EXPECT_EQ(agent->GetStatusText(), "Unassigned, searching for coordinator...");
}

TEST_F(AgentTest, StatusTextShowsTheSessionsOfItsList) {
  auto agent = MakeAgent();
  agent->Sessions().AddSession("10.0.0.7");
  agent->Sessions().SetSessionTasks("10.0.0.7", "19#, 17*, 18*,20,21");
  EXPECT_EQ(agent->GetStatusText(), "Working for 10.0.0.7[19#, 17*, 18*,20,21], searching for coordinator...");
}

TEST_F(AgentTest, TheContextCarriesTheSettingsAndTheTemporaryFolder) {
  Platform.System.Processors = 3;
  auto agent = MakeAgent();
  EXPECT_EQ(agent->Context().PoolSize(), 3);
  EXPECT_EQ(agent->Context().TempFolder(), Dir / "data/kelvra/TEMP/");
  EXPECT_TRUE(agent->Context().Settings().EnableDebugOutput);
  EXPECT_EQ(agent->Context().FrameErrorLog(), &Platform.Debug);
  EXPECT_EQ(agent->Services().AgentInterface, agent->Interface());
  EXPECT_EQ(&agent->Services().Sessions, &agent->Sessions());
}

TEST_F(AgentTest, OnlyTheFirstRefusedPriorityChangeIsLogged) {
  Platform.System.PrioritiesAllowed = false;
  auto agent = MakeAgent();
  agent->Context().ChangeThreadPriority(1, tpIdle);
  agent->Context().ChangeThreadPriority(2, tpNormal);
  EXPECT_EQ(Platform.Debug.Taken(), std::vector<std::string>{
      "AGENT: Unable to change a thread's priority (not permitted); priorities stay as they are\r"});
}

TEST(SessionListTest, StatusTextWithSuspension) {
  TSessionList sessions;
  sessions.AddSession("10.0.0.7");
  sessions.AddSession("10.0.0.9");
  sessions.SetSessionTasks("10.0.0.9", "3*");
  EXPECT_EQ(sessions.StatusText(12, csSearching),
            "Working for 10.0.0.7[], 10.0.0.9[3*] [suspended, 12], searching for coordinator...");
  EXPECT_EQ(sessions.StatusText(1, csSearching),
            "Working for 10.0.0.7[], 10.0.0.9[3*] [suspended, 1], searching for coordinator...");
  EXPECT_EQ(sessions.StatusText(0, csSearching), "Working for 10.0.0.7[], 10.0.0.9[3*], searching for coordinator...");
}

TEST(SessionListTest, StatusTextFollowsTheCoordinatorLink) {
  TSessionList sessions;
  EXPECT_EQ(sessions.StatusText(0, csSearching), "Unassigned, searching for coordinator...");
  EXPECT_EQ(sessions.StatusText(0, csConnecting), "Unassigned, connecting to coordinator...");
  EXPECT_EQ(sessions.StatusText(0, csRetryWait), "Unassigned, connecting to coordinator...");
  EXPECT_EQ(sessions.StatusText(0, csReporting), "Unassigned");
  EXPECT_EQ(sessions.StatusText(3, csReportWait), "Unassigned [suspended, 3]");
}

TEST(SessionListTest, DuplicateAddressesShareTheFirstEntryAndLeaveFromTheLast) {
  TSessionList sessions;
  sessions.AddSession("10.0.0.7");
  sessions.AddSession("10.0.0.8");
  sessions.AddSession("10.0.0.7");
  sessions.SetSessionTasks("10.0.0.7", "1*");
  sessions.SetSessionTasks("10.0.0.7", "2*");  // the second session's update lands in the first entry too
  EXPECT_EQ(sessions.StatusText(0, csReporting), "Working for 10.0.0.7[2*], 10.0.0.8[], 10.0.0.7[]");
  sessions.RemoveSession("10.0.0.7");
  EXPECT_EQ(sessions.StatusText(0, csReporting), "Working for 10.0.0.7[2*], 10.0.0.8[]");
  sessions.RemoveSession("10.0.0.7");
  sessions.RemoveSession("10.0.0.7");  // not in the list any more: nothing
  sessions.SetSessionTasks("10.0.0.99", "5");
  EXPECT_EQ(sessions.StatusText(0, csReporting), "Working for 10.0.0.8[]");
}

TEST(SessionListTest, RemoveSessionComparesExactlyAndSetTasksIgnoresCase) {
  TSessionList sessions;
  sessions.AddSession("host-A");
  sessions.SetSessionTasks("HOST-a", "7");
  sessions.RemoveSession("HOST-A");
  EXPECT_EQ(sessions.StatusText(0, csReporting), "Working for host-A[7]");
}

// A registered source of a task list, counting how often it is asked.
struct TListSource : ITaskListSource {
  explicit TListSource(std::string list) : List(std::move(list)) {}
  std::string GetTaskList() override {
    ++Asked;
    return List;
  }
  std::string List;
  int Asked = 0;
};

// Sessions of one address share one line: its first entry shows the list of
// whichever of them reported last; a session without a source shows its task
// text. Lists are read when the text is formed, never after a registration
// has ended.
TEST(SessionListTest, TheLatestReporterOfAnAddressShowsInItsFirstEntry) {
  TSessionList sessions;
  sessions.AddSession("10.0.0.7");
  sessions.AddSession("10.0.0.8");
  sessions.AddSession("10.0.0.7");
  sessions.SetSessionTasks("10.0.0.7", "old");
  TListSource first("1*"), second("2#, 3*"), other("4");
  {
    auto registered = std::make_unique<TSessionList::TTaskListRegistration>(sessions, "10.0.0.7", first);
    EXPECT_EQ(sessions.StatusText(0, csReporting), "Working for 10.0.0.7[1*], 10.0.0.8[], 10.0.0.7[]");
    TSessionList::TTaskListRegistration secondEntry(sessions, "10.0.0.7", second);
    TSessionList::TTaskListRegistration otherEntry(sessions, "10.0.0.8", other);
    first.List = "1*,5";  // read when the text is formed, not when it changed
    EXPECT_EQ(sessions.StatusText(0, csReporting), "Working for 10.0.0.7[1*,5], 10.0.0.8[4], 10.0.0.7[]")
        << "before any report the first registered stands for its address";
    secondEntry.NoteReport();
    EXPECT_EQ(sessions.StatusText(0, csReporting), "Working for 10.0.0.7[2#, 3*], 10.0.0.8[4], 10.0.0.7[]");
    registered->NoteReport();
    EXPECT_EQ(sessions.StatusText(0, csReporting), "Working for 10.0.0.7[1*,5], 10.0.0.8[4], 10.0.0.7[]");
    registered.reset();
    EXPECT_EQ(sessions.StatusText(0, csReporting), "Working for 10.0.0.7[2#, 3*], 10.0.0.8[4], 10.0.0.7[]");
    sessions.RemoveSession("10.0.0.7");
    EXPECT_EQ(sessions.StatusText(0, csReporting), "Working for 10.0.0.7[2#, 3*], 10.0.0.8[4]");
  }
  EXPECT_EQ(first.Asked, 3);
  EXPECT_EQ(second.Asked, 3);
  EXPECT_EQ(sessions.StatusText(0, csReporting), "Working for 10.0.0.7[old], 10.0.0.8[]");
  EXPECT_EQ(first.Asked + second.Asked + other.Asked, 3 + 3 + 5) << "asked after the registration ended";
}

TEST(SessionListTest, IsSafeFromManyThreads) {
  TSessionList sessions;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&sessions, t] {
      std::string address = "10.0.0." + std::to_string(t);
      for (int i = 0; i < 500; ++i) {
        sessions.AddSession(address);
        sessions.SetSessionTasks(address, std::to_string(i));
        (void)sessions.StatusText(0, csSearching);
        sessions.RemoveSession(address);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(sessions.StatusText(0, csSearching), "Unassigned, searching for coordinator...");
}
