// One lobby session served on the test's thread over a connection held in
// memory: the seam the lobby fuzz target feeds arbitrary frames through.
#include "Agent/T_AgentLobbySocketThread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "Agent/T_Agent.h"
#include "Agent/T_MainThreadQueue.h"
#include "AgentFixture.h"
#include "Common/WireFraming.h"
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
  TMainThreadQueue MainThread;
  TTcpSocket ClosedPort;  // the user's data port: bound, never listening
  std::unique_ptr<TAgent> Agent;

  void SetUp() override {
    uint16_t port = 0;
    ASSERT_EQ(ClosedPort.Create(), 0);
    ASSERT_EQ(ClosedPort.Bind(TMemoryConnection::kLoopback, 0), 0);
    ASSERT_EQ(ClosedPort.LocalPort(port), 0);
    Agent = MakeCoreAgent(Platform, Dir, MainThread, port);
  }

  // Serves one session whose user sent `frames` and then closed; answers
  // what the agent sent back, as texts.
  std::vector<std::string> Serve(const std::string& frames) {
    TMemoryConnection connection(frames);
    {
      TAgentLobbySocketThread session(*Agent);
      session.ServeOnCallingThread(*connection.Agent);
    }
    EXPECT_FALSE(connection.Agent->Connected());
    TCustomWinSocket user(std::move(connection.Peer), TMemoryConnection::kLoopback, 4102);
    std::vector<std::string> answers;
    std::string text;
    while (SocketReadString(user, text, 5000)) answers.push_back(text);
    return answers;
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
  EXPECT_EQ(answers, (std::vector<std::string>{"0.0 0.0 0", std::to_string(Agent->PoolSize())}));
  EXPECT_TRUE(Logged("AGENTLOBBYTHREAD: Received DISCONNECT command."));
  EXPECT_TRUE(Logged("AGENTLOBBYTHREAD: Exit"));
  EXPECT_EQ(Agent->GetStatusText().rfind("Unassigned", 0), 0u) << Agent->GetStatusText();
}

TEST_F(LobbySessionTest, FramesThatEndMidwayOrAMalformedTaskEndTheSession) {
  // A length announcing more than the user sends before closing.
  std::string cut = Frame("KEEP_ALIVE");
  cut += std::string("\x32\0\0\0KEEP", 8);
  EXPECT_EQ(Serve(cut).size(), 1u);
  EXPECT_TRUE(Logged("AGENTLOBBYTHREAD: No KEEP_ALIVE for a long time, disconnecting."));

  // RUN_TASK without its four items, then a command that is never served.
  EXPECT_TRUE(Serve(Frame("RUN_TASK,3") + Frame("GET_POOLSIZE")).empty());
  EXPECT_EQ(Agent->GetStatusText().rfind("Unassigned", 0), 0u) << Agent->GetStatusText();
}
