// The board's bookkeeping where the agents' timing would hide a fault: a
// late report of a task that was sent again, the window, and the end of
// the last agent.
#include <gtest/gtest.h>

#include <vector>

#include "User/T_TaskBoard.h"

namespace {

struct TaskBoardTest : ::testing::Test {
  TTaskBoard Board{{"a:1"}, 2};
  std::vector<kelvra::TTaskResult> Results;

  TaskBoardTest() {
    Board.SetDefaultHandler(std::make_shared<const std::function<void(const kelvra::TTaskResult&)>>(
        [this](const kelvra::TTaskResult& result) { Results.push_back(result); }));
  }
  uint64_t Add(const std::string& input) {
    return Board.Add([](uint32_t id) { return "RUN_TASK " + std::to_string(id) + " lib Proc"; }, input, nullptr);
  }
  // The tasks the session is handed now (none due: no keep-alive).
  std::vector<std::string> Take() {
    TTaskBoard::TWork work;
    EXPECT_TRUE(Board.WaitForWork(0, TTaskBoard::TClock::now(), work));
    std::vector<std::string> commands;
    for (const auto& task : work.Tasks) commands.push_back(task->Command);
    return commands;
  }
};

TEST_F(TaskBoardTest, ReportOfATaskSentAgainCountsOnceWhicheverComesFirst) {
  Board.SessionUp(0, 1);
  Add("first");
  Add("second");
  ASSERT_EQ(Take(), (std::vector<std::string>{"RUN_TASK 1 lib Proc", "RUN_TASK 2 lib Proc"}));
  // The session ends: both go again, in their order, on the next one.
  EXPECT_FALSE(Board.SessionEnded(0, "closed"));
  Board.SessionUp(0, 1);
  ASSERT_EQ(Take(), (std::vector<std::string>{"RUN_TASK 1 lib Proc", "RUN_TASK 2 lib Proc"}));
  // The old session still reports task 2, then the new one does.
  Board.Report(2, true, "late");
  Board.Report(2, false, "again");
  Board.Report(1, true, "one");
  Board.Report(1, true, "one more");
  Board.Report(77, true, "never ours");
  ASSERT_EQ(Results.size(), 2u);
  EXPECT_EQ(Results[0].Index, 1u);
  EXPECT_EQ(Results[0].Output, "late");
  EXPECT_EQ(Results[0].Agent, "a:1");
  EXPECT_EQ(Results[1].Index, 0u);
  EXPECT_EQ(Results[1].Output, "one");
  EXPECT_TRUE(Board.WaitAll(0));
  EXPECT_EQ(Board.Progress().Done, 2u);
}

TEST_F(TaskBoardTest, WindowIsTasksPerThreadTimesPoolSize) {
  Board.SessionUp(0, 2);
  for (int i = 0; i < 6; ++i) Add("x");
  EXPECT_EQ(Take().size(), 4u);  // 2 per thread x 2 threads
  Board.Report(1, true, "");
  EXPECT_EQ(Take(), (std::vector<std::string>{"RUN_TASK 5 lib Proc"}));
  EXPECT_FALSE(Board.WaitAll(0));
}

// An agent that answers as fast as it is sent gets more than its pool's
// share (how much more depends on how fast: here, on this machine), never
// more than one session may have waiting.
TEST_F(TaskBoardTest, AnAgentThatAnswersFastIsSentMoreAhead) {
  Board.SessionUp(0, 2);
  for (int i = 0; i < 12000; ++i) Add("x");
  size_t largest = 0;
  for (int round = 0; round < 200 && largest <= 4; ++round) {
    const std::vector<std::string> taken = Take();
    largest = std::max(largest, taken.size());
    for (const std::string& command : taken) Board.Report(static_cast<uint32_t>(std::stoul(command.substr(9))), true, "");
  }
  EXPECT_GT(largest, 4u) << "beyond 2 per thread x 2 threads";
  EXPECT_LE(largest, 9000u);
}

TEST_F(TaskBoardTest, LastAgentLostFailsEveryWaitingTaskOnceInOrder) {
  Board.SessionUp(0, 1);
  Add("a");
  Add("b");
  Add("c");
  Take();
  Board.Report(2, true, "b done");
  Board.SessionEnded(0, "gone");
  Board.AgentLost(0, "agent a:1 is lost: connect: refused");
  ASSERT_EQ(Results.size(), 3u);
  EXPECT_EQ(Results[1].Index, 0u);
  EXPECT_EQ(Results[2].Index, 2u);
  EXPECT_EQ(Results[2].Failure, "no agent left: agent a:1 is lost: connect: refused");
  EXPECT_FALSE(Board.WaitAll(0));
  EXPECT_THROW(Add("d"), kelvra::EGridError);
  std::string why;
  EXPECT_TRUE(Board.NoAgentLeft(why));
  EXPECT_EQ(Board.Warnings(), std::vector<std::string>{"agent a:1 is lost: connect: refused"});
}

// Large inputs leave in batches of at most kMostBatchBytes, a larger one
// alone, however much room the window has: a session on a slow link comes
// back to the board between them.
TEST_F(TaskBoardTest, ABatchCarriesAtMostItsBoundInBytesAndALargerTaskGoesAlone) {
  Board.SessionUp(0, 8);  // a window of 16
  const size_t third = TTaskBoard::kMostBatchBytes / 3;
  for (int i = 0; i < 5; ++i) Add(std::string(third, 'x'));
  Add(std::string(3 * TTaskBoard::kMostBatchBytes, 'y'));
  Add("small");
  EXPECT_EQ(Take().size(), 2u) << "a third would pass the bound with the commands";
  EXPECT_EQ(Take().size(), 2u);
  EXPECT_EQ(Take(), (std::vector<std::string>{"RUN_TASK 5 lib Proc"}));
  EXPECT_EQ(Take(), (std::vector<std::string>{"RUN_TASK 6 lib Proc"}));
  EXPECT_EQ(Take(), (std::vector<std::string>{"RUN_TASK 7 lib Proc"}));
}

// What the data port asks before it takes a report: sent on this agent's
// open session and unanswered, or at least still waiting.
TEST_F(TaskBoardTest, InFlightFromTheSendToTheAnswerOrTheSendToAnotherSession) {
  TTaskBoard board({"a:1", "b:1"}, 1);
  board.SessionUp(0, 1);
  board.SessionUp(1, 1);
  for (int i = 0; i < 3; ++i) board.Add([](uint32_t id) { return "RUN_TASK " + std::to_string(id); }, "x", nullptr);
  EXPECT_FALSE(board.InFlightOn(0, 1)) << "queued";
  EXPECT_TRUE(board.Waiting(1));
  TTaskBoard::TWork work;
  ASSERT_TRUE(board.WaitForWork(0, TTaskBoard::TClock::now(), work));
  ASSERT_TRUE(board.WaitForWork(1, TTaskBoard::TClock::now(), work));
  EXPECT_TRUE(board.InFlightOn(0, 1));
  EXPECT_FALSE(board.InFlightOn(1, 1)) << "another agent's";
  EXPECT_TRUE(board.InFlightOn(1, 2));
  EXPECT_FALSE(board.InFlightOn(0, 3));
  EXPECT_TRUE(board.Waiting(3));
  board.Report(1, true, "one");
  EXPECT_FALSE(board.InFlightOn(0, 1));
  EXPECT_FALSE(board.Waiting(1));
  EXPECT_FALSE(board.Waiting(99));
  // The session that ended may still report what it had, until it is sent
  // again; then only the session it went to.
  board.SessionEnded(1, "closed");
  EXPECT_TRUE(board.InFlightOn(1, 2));
  EXPECT_TRUE(board.Waiting(2));
  ASSERT_TRUE(board.WaitForWork(0, TTaskBoard::TClock::now(), work));
  ASSERT_EQ(work.Tasks.size(), 1u);
  EXPECT_EQ(work.Tasks[0]->Command, "RUN_TASK 2");
  EXPECT_FALSE(board.InFlightOn(1, 2)) << "sent again";
  EXPECT_TRUE(board.InFlightOn(0, 2));
  board.Stop();
}

}  // namespace
