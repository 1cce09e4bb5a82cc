// SPDX-License-Identifier: Apache-2.0
// Whom the data port serves: the agents' addresses only, a few connections
// each, reports only of tasks in flight there, and refusals as warnings
// that a flood cannot multiply.
#include "User/T_DataPortGuard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Platform/T_TcpSocket.h"

namespace {

uint32_t Address(const std::string& text) {
  uint32_t address = 0;
  EXPECT_TRUE(TTcpSocket::ParseAddress(text, address)) << text;
  return address;
}

struct DataPortGuardTest : ::testing::Test {
  // Agents 0 and 1 on one machine, agent 2 on another.
  TTaskBoard Board{{"h1:1", "h1:2", "h2:1"}, 1};
  TDataPortGuard Guard{Board, 3};
  const uint32_t H1 = Address("127.0.0.1");
  const uint32_t H2 = Address("192.0.2.3");
  const uint32_t Stranger = Address("127.0.0.2");

  ~DataPortGuardTest() override { Board.Stop(); }

  void OpenAll() {
    Guard.SessionOpening(0, H1);
    Guard.SessionOpening(1, H1);
    Guard.SessionOpening(2, H2);
    for (size_t agent = 0; agent < 3; ++agent) Board.SessionUp(agent, 1);
  }
  // Sends the next queued task to `agent`.
  void Send(size_t agent) {
    TTaskBoard::TWork work;
    ASSERT_TRUE(Board.WaitForWork(agent, TTaskBoard::TClock::now(), work));
    ASSERT_EQ(work.Tasks.size(), 1u);
  }
};

TEST_F(DataPortGuardTest, OnlyTheAgentsAddressesGetInAFewConnectionsPerAgentThere) {
  EXPECT_FALSE(Guard.Admit(H1, 0)) << "no session opening yet";
  OpenAll();
  EXPECT_TRUE(Guard.Serves(H1));
  EXPECT_FALSE(Guard.Serves(Stranger));
  EXPECT_FALSE(Guard.Admit(Stranger, 0));
  EXPECT_TRUE(Guard.Admit(H2, TDataPortGuard::kConnectionsPerAgent - 1));
  EXPECT_FALSE(Guard.Admit(H2, TDataPortGuard::kConnectionsPerAgent));
  EXPECT_TRUE(Guard.Admit(H1, 2 * TDataPortGuard::kConnectionsPerAgent - 1)) << "two agents there";
  EXPECT_FALSE(Guard.Admit(H1, 2 * TDataPortGuard::kConnectionsPerAgent));
  // A lost agent's address is served no more; one shared with another
  // agent still is.
  Guard.AgentLost(2);
  EXPECT_FALSE(Guard.Admit(H2, 0));
  EXPECT_FALSE(Guard.Serves(H2));
  Guard.AgentLost(0);
  EXPECT_TRUE(Guard.Admit(H1, 0));
  EXPECT_FALSE(Guard.Admit(H1, TDataPortGuard::kConnectionsPerAgent));

  const std::vector<std::string> warnings = Board.Warnings();
  ASSERT_GE(warnings.size(), 3u);
  EXPECT_EQ(warnings[0], "data port: refused a connection from 127.0.0.1: no agent of this grid is at that address");
  EXPECT_EQ(warnings[2], "data port: refused a connection from 192.0.2.3: 4 are open from there already, the most "
                         "for 1 agent");
}

// An agent on this machine at another loopback address connects back from
// 127.0.0.1; a third loopback address is still a stranger.
TEST_F(DataPortGuardTest, AnAgentAtAnotherLoopbackAddressIsServedFromThereAndFrom127001) {
  Guard.SessionOpening(2, Address("127.0.0.5"));
  EXPECT_TRUE(Guard.Admit(Address("127.0.0.5"), 0));
  EXPECT_TRUE(Guard.Admit(H1, 0));
  EXPECT_FALSE(Guard.Admit(Stranger, 0));
  Board.SessionUp(2, 1);
  Board.Add([](uint32_t id) { return "RUN_TASK " + std::to_string(id); }, "x", nullptr);
  Send(2);
  EXPECT_TRUE(Guard.TakesReport(H1, 1));
  EXPECT_FALSE(Guard.TakesReport(Stranger, 1));
}

TEST_F(DataPortGuardTest, AReportIsTakenOnlyFromTheAddressOfAnAgentThatHasTheTaskInFlight) {
  OpenAll();
  for (int i = 0; i < 4; ++i) Board.Add([](uint32_t id) { return "RUN_TASK " + std::to_string(id); }, "x", nullptr);
  Send(1);  // task 1 on the second agent at H1
  Send(2);  // task 2 at H2
  EXPECT_TRUE(Guard.TakesReport(H1, 1)) << "whichever of the agents there reports it";
  EXPECT_FALSE(Guard.TakesReport(H2, 1));
  EXPECT_FALSE(Guard.TakesReport(Stranger, 1));
  EXPECT_TRUE(Guard.TakesReport(H2, 2));
  EXPECT_FALSE(Guard.TakesReport(H1, 3)) << "queued, sent to nobody";
  Board.Report(2, true, "");
  EXPECT_FALSE(Guard.TakesReport(H2, 2)) << "answered";
}

TEST_F(DataPortGuardTest, AFloodOfRefusalsListsAFewAndCountsTheRest) {
  for (int i = 0; i < 1000; ++i) Guard.Refused("refused " + std::to_string(i));
  const std::vector<std::string> warnings = Board.Warnings();
  ASSERT_EQ(warnings.size(), static_cast<size_t>(TDataPortGuard::kRefusalBurst));
  EXPECT_EQ(warnings.front(), "data port: refused 0");
  EXPECT_EQ(warnings.back(), "data port: refused " + std::to_string(TDataPortGuard::kRefusalBurst - 1));
}

}  // namespace
