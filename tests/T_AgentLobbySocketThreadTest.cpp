// SPDX-License-Identifier: Apache-2.0
// One lobby session served on the test's thread over a connection held in
// memory: the seam the lobby fuzz target feeds arbitrary frames through.
#include "Agent/T_AgentLobbySocketThread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Common/T_BlockCache.h"
#include "Common/WireFraming.h"
#include "SessionFixture.h"
#include "T_MemoryConnection.h"
#include "TestSupport.h"

namespace {

std::string Frame(const std::string& text) {
  const auto length = static_cast<uint32_t>(text.size());
  std::string frame(4, '\0');
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>(length >> (8 * i));
  return frame + text;
}

struct LobbySessionTest : ::testing::Test {
  TTempDir Dir;
  TTestPlatform Platform;
  TTcpSocket ClosedPort;  // the user's data port: bound, never listening
  std::unique_ptr<TAgentParts> Parts;

  void SetUp() override {
    uint16_t port = 0;
    ASSERT_OK(ClosedPort.Create());
    ASSERT_OK(ClosedPort.Bind(TMemoryConnection::kLoopback, 0));
    ASSERT_OK(ClosedPort.LocalPort(port));
    Parts = std::make_unique<TAgentParts>(Platform, Dir, TestSettings(port));
  }

  // Serves one session whose user sent `frames` and then closed; answers
  // what the agent sent back, as texts.
  std::vector<std::string> Serve(const std::string& frames) {
    TMemoryConnection connection(frames);
    {
      TAgentLobbySocketThread session(Parts->Context, Parts->Services);
      session.Serve(*connection.Agent);
    }
    EXPECT_FALSE(connection.Agent->Connected());
    TConnection user(std::move(connection.Peer), TMemoryConnection::kLoopback, 4102);
    std::vector<std::string> answers;
    std::string text;
    while (SocketReadString(user, text, 5000)) answers.push_back(text);
    return answers;
  }

  std::string Status() const { return Parts->StatusText(); }

  void ClearLog() {
    std::lock_guard<std::mutex> guard(Platform.Debug.Mutex);
    Platform.Debug.Lines.clear();
  }
  bool Logged(const std::string& line) {
    std::vector<std::string> log = Platform.Debug.Taken();
    return std::find(log.begin(), log.end(), line + "\r") != log.end();
  }
};

}  // namespace

TEST_F(LobbySessionTest, AnswersCommandsUntilDisconnectAndLeavesTheSessionList) {
  std::vector<std::string> answers =
      Serve(Frame("KEEP_ALIVE") + Frame("UNKNOWN word") + Frame("GET_POOLSIZE") + Frame("DISCONNECT") +
            Frame("KEEP_ALIVE"));
  EXPECT_EQ(answers, (std::vector<std::string>{"0.0 0.0 0", std::to_string(Parts->Context.PoolSize())}));
  EXPECT_TRUE(Logged("AGENTLOBBYTHREAD: Received DISCONNECT command."));
  EXPECT_TRUE(Logged("AGENTLOBBYTHREAD: Exit"));
  EXPECT_EQ(Status().rfind("Unassigned", 0), 0u) << Status();
}

TEST_F(LobbySessionTest, FramesThatEndMidwayOrAMalformedTaskEndTheSession) {
  // A length announcing more than the user sends before closing.
  std::string cut = Frame("KEEP_ALIVE");
  cut += std::string("\x32\0\0\0KEEP", 8);
  EXPECT_EQ(Serve(cut).size(), 1u);
  EXPECT_TRUE(Logged("AGENTLOBBYTHREAD: No KEEP_ALIVE for a long time, disconnecting."));

  // RUN_TASK without its four items, then a command that is never served.
  EXPECT_TRUE(Serve(Frame("RUN_TASK,3") + Frame("GET_POOLSIZE")).empty());
  EXPECT_EQ(Status().rfind("Unassigned", 0), 0u) << Status();
}

// However a session ends, the lobby thread takes out of the session list
// exactly the one entry it put in: another session of the same user keeps
// its own. A session that starts while the agent closes is never entered.
TEST_F(LobbySessionTest, ASessionLeavesTheListHoweverItEnds) {
  Parts->Load.Summary = "3.5 1.0 512";
  Parts->Sessions.AddSession("127.0.0.1");  // the user's other session
  const std::string oneSession = "Working for 127.0.0.1[], searching for coordinator...";
  const struct {
    const char* Ending;
    std::string Frames;
    std::vector<std::string> Answers;
    const char* Logged;
  } endings[] = {
      {"disconnect", Frame("KEEP_ALIVE") + Frame("DISCONNECT"), {"3.5 1.0 512"},
       "AGENTLOBBYTHREAD: Received DISCONNECT command."},
      {"user closes", Frame("GET_POOLSIZE"), {std::to_string(Parts->Context.PoolSize())},
       "AGENTLOBBYTHREAD: No KEEP_ALIVE for a long time, disconnecting."},
      {"malformed task", Frame("RUN_TASK 1 lib.so"), {}, "AGENTLOBBYTHREAD: exception , closing socket"},
      {"long command", std::string("\x01\x00\x01\x00", 4), {},
       "AGENTLOBBYTHREAD: Command text longer than 65536 bytes, disconnecting."},
  };
  for (const auto& ending : endings) {
    SCOPED_TRACE(ending.Ending);
    ClearLog();
    EXPECT_EQ(Serve(ending.Frames), ending.Answers);
    EXPECT_TRUE(Logged(ending.Logged));
    EXPECT_EQ(Status(), oneSession);
  }

  // The worker's start-up fails (no pool threads): the task is failed and
  // the session ends after it.
  ClearLog();
  Platform.System.RefuseThreads("Pool thread");
  EXPECT_TRUE(Serve(Frame("RUN_TASK 7 lib.so Echo") + Frame("in") + Frame("KEEP_ALIVE")).empty());
  EXPECT_TRUE(Logged("AGENTLOBBYTHREAD: Session could not start, disconnecting."));
  EXPECT_EQ(Status(), oneSession);

  // The worker cannot be made at all.
  ClearLog();
  Platform.System.RefuseThreads("AgentWorkerThread");
  EXPECT_TRUE(Serve(Frame("KEEP_ALIVE")).empty());
  EXPECT_TRUE(Logged("AGENTLOBBYTHREAD: exception Resource temporarily unavailable, closing socket"));
  EXPECT_EQ(Status(), oneSession);

  ClearLog();
  Parts->Closing.Set();
  EXPECT_TRUE(Serve(Frame("KEEP_ALIVE")).empty());
  EXPECT_FALSE(Logged("AGENTLOBBYTHREAD: Exit")) << "served while closing";
  EXPECT_EQ(Status(), oneSession);
}

// Sessions keep freed task memory for reuse; the agent hands it back once
// its last session has ended, not while another one still runs.
TEST_F(LobbySessionTest, TheLastSessionToEndHandsFreedMemoryBack) {
  Parts->Sessions.AddSession("10.0.0.9");  // another user's session, still open
  Serve(Frame("DISCONNECT"));
  EXPECT_EQ(Platform.System.MemoryReleases.load(), 0);
  Parts->Sessions.RemoveSession("10.0.0.9");
  TBlockCache::Process().Give(std::malloc(TBlockCache::kSmallestBlock), TBlockCache::kSmallestBlock);
  Serve(Frame("DISCONNECT"));
  EXPECT_EQ(Platform.System.MemoryReleases.load(), 1);
  EXPECT_EQ(TBlockCache::Process().BlocksKept(), 0u);
}
