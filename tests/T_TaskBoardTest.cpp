// SPDX-License-Identifier: Apache-2.0
// The board's bookkeeping where the agents' timing would hide a fault: a
// late report of a task that was sent again, the window, the end of the
// last agent, the attempts a task is charged, agents that cannot run a
// task, and copies of late tasks.
#include <gtest/gtest.h>

#include <map>
#include <set>
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
  // The session ends: both go again, in their order, on the next one,
  // each under a new id.
  EXPECT_FALSE(Board.SessionEnded(0, "closed"));
  Board.SessionUp(0, 1);
  ASSERT_EQ(Take(), (std::vector<std::string>{"RUN_TASK 3 lib Proc", "RUN_TASK 4 lib Proc"}));
  // The old session still reports the second task, then the new one does.
  Board.Report(2, true, "late");
  Board.Report(4, false, "again");
  Board.Report(1, true, "one");
  Board.Report(3, true, "one more");
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

// A board with chosen agents and bounds, whose tasks are named by their
// inputs: each send's id is noted under its input.
struct TBoardRig {
  explicit TBoardRig(std::vector<std::string> agents, int maxAttempts = 3, double speculateAfterSeconds = 0)
      : Board(std::move(agents), 2, maxAttempts, speculateAfterSeconds) {
    Board.SetDefaultHandler(std::make_shared<const std::function<void(const kelvra::TTaskResult&)>>(
        [this](const kelvra::TTaskResult& result) { Results[Inputs.at(result.Index)] = result; }));
  }
  void Add(const std::string& input) {
    Inputs.push_back(input);
    Board.Add([](uint32_t id) { return "RUN_TASK " + std::to_string(id) + " lib Proc"; }, input, nullptr);
  }
  // The inputs the agent's session is handed, waiting at most until
  // `until` (now: only what is there).
  std::vector<std::string> Take(size_t agent, TTaskBoard::TClock::time_point until = TTaskBoard::TClock::now()) {
    TTaskBoard::TWork work;
    EXPECT_TRUE(Board.WaitForWork(agent, until, work));
    std::vector<std::string> inputs;
    for (const auto& task : work.Tasks) {
      inputs.emplace_back(task->Input);
      Ids[inputs.back()].push_back(static_cast<uint32_t>(std::stoul(task->Command.substr(9))));
    }
    return inputs;
  }
  // A report of the task's latest send, or of its first.
  void Report(const std::string& input, bool ok, const std::string& text, bool latest = true) {
    Board.Report(latest ? Ids.at(input).back() : Ids.at(input).front(), ok, text);
  }
  std::set<std::string> Answered() const {
    std::set<std::string> answered;
    for (const auto& [input, result] : Results) answered.insert(input);
    return answered;
  }

  TTaskBoard Board;
  std::vector<std::string> Inputs;
  std::map<std::string, std::vector<uint32_t>> Ids;
  std::map<std::string, kelvra::TTaskResult> Results;
};

using Inputs = std::vector<std::string>;
const std::string kNoDll = "POOLTHREAD: unable to load dll lib for task ";

// Pool size 2: of a session's unanswered tasks only the two oldest could
// have run when it ended; the one behind them goes again uncharged. Two
// charged tasks never share a session, so a poison task cannot take a
// good one's attempts along.
TEST(TaskBoardAttemptsTest, AnEndedSessionChargesWhatCouldHaveRunAndChargedTasksGoOneASession) {
  TBoardRig rig({"a:1"}, 2);
  rig.Board.SessionUp(0, 2);
  for (const char* input : {"t0", "t1", "t2", "t3"}) rig.Add(input);
  ASSERT_EQ(rig.Take(0), (Inputs{"t0", "t1", "t2", "t3"}));
  rig.Report("t0", true, "zero");
  rig.Board.SessionEnded(0, "closed");

  rig.Board.SessionUp(0, 2);
  ASSERT_EQ(rig.Take(0), (Inputs{"t1", "t3"}));  // t2 waits: t1 is charged too
  rig.Board.SessionEnded(0, "closed again");
  ASSERT_EQ(rig.Results.count("t1"), 1u);
  EXPECT_FALSE(rig.Results["t1"].Ok);
  EXPECT_EQ(rig.Results["t1"].Failure, "given up after 2 attempts: the session on agent a:1 ended: closed again");
  EXPECT_EQ(rig.Results["t1"].Agent, "");

  rig.Board.SessionUp(0, 2);
  ASSERT_EQ(rig.Take(0), Inputs{"t3"});  // both charged once: one at a time
  rig.Report("t3", true, "three");
  ASSERT_EQ(rig.Take(0), Inputs{"t2"});
  rig.Report("t2", true, "two");
  EXPECT_TRUE(rig.Board.WaitAll(0));
  EXPECT_EQ(rig.Answered(), (std::set<std::string>{"t0", "t1", "t2", "t3"}));
  const kelvra::TGridProgress progress = rig.Board.Progress();
  EXPECT_EQ(progress.Done, 3u);
  EXPECT_EQ(progress.Failed, 1u);
  const std::vector<kelvra::TAgentSummary> summaries = rig.Board.AgentSummaries();
  ASSERT_EQ(summaries.size(), 1u);
  EXPECT_EQ(summaries[0].Done, 3u);
  EXPECT_EQ(summaries[0].Failed, 0u);  // a give-up is the grid's, not the agent's
  EXPECT_EQ(summaries[0].SessionsEnded, 2u);
  EXPECT_FALSE(summaries[0].Lost);
}

// An agent reports the tasks of a session whose process died: the first
// report ends the session's tasks at once (charging the one that could have
// run, pool size 1), the session is handed nothing more, and the later
// reports and the lobby's end charge nothing again.
TEST(TaskBoardAttemptsTest, SessionProcessEndedChargesOnlyTheTaskThatCouldHaveRun) {
  TBoardRig rig({"a:1"}, 2);
  rig.Board.SessionUp(0, 1);
  for (const char* input : {"p", "q", "r"}) rig.Add(input);
  ASSERT_EQ(rig.Take(0), (Inputs{"p", "q"}));
  rig.Report("q", false, "Session process ended: killed by signal 9");
  EXPECT_TRUE(rig.Results.empty());
  EXPECT_TRUE(rig.Take(0).empty());
  rig.Report("p", false, "Session process ended: killed by signal 9");
  rig.Board.SessionEnded(0, "the agent closed the session");
  EXPECT_TRUE(rig.Results.empty());

  rig.Board.SessionUp(0, 1);
  ASSERT_EQ(rig.Take(0), (Inputs{"p", "q"}));
  rig.Report("q", false, "Session process ended: exited with status 0");
  ASSERT_EQ(rig.Results.size(), 1u);
  EXPECT_EQ(rig.Results["p"].Failure, "given up after 2 attempts: Session process ended: exited with status 0");
  rig.Board.SessionEnded(0, "the agent closed the session");

  rig.Board.SessionUp(0, 1);
  ASSERT_EQ(rig.Take(0), (Inputs{"q", "r"}));  // q was behind p both times: never charged
  rig.Report("q", true, "q done");
  rig.Report("r", true, "r done");
  EXPECT_EQ(rig.Results["q"].Output, "q done");
  EXPECT_EQ(rig.Results.size(), 3u);
}

// An agent without the library's companion: its refusals send the tasks
// to the other agent, never back to it, and the third in a row leaves it
// out of the run.
TEST(TaskBoardAgentFailuresTest, RefusedTasksGoToAnotherAgentAndTheRefusingAgentIsLeftOut) {
  TBoardRig rig({"a:1", "b:2"});
  rig.Board.SessionUp(0, 1);
  for (int i = 0; i < 5; ++i) rig.Add("t" + std::to_string(i));
  ASSERT_EQ(rig.Take(0), (Inputs{"t0", "t1"}));
  rig.Report("t0", false, kNoDll + "1");
  ASSERT_EQ(rig.Take(0), Inputs{"t2"});  // t0 is not for it again
  rig.Report("t1", false, "POOLTHREAD:  unable to run task - proc=nil. filename=lib proname=Proc taskId=2");
  EXPECT_FALSE(rig.Board.LeftOut(0));
  rig.Report("t2", false, kNoDll + "4");
  const std::string why = "agent a:1 is left out of the run: 3 tasks in a row failed there: " + kNoDll + "4";
  EXPECT_TRUE(rig.Board.LeftOut(0));
  TTaskBoard::TWork work;
  EXPECT_FALSE(rig.Board.WaitForWork(0, TTaskBoard::TClock::now(), work));
  EXPECT_EQ(rig.Board.Warnings(), std::vector<std::string>{why});
  EXPECT_TRUE(rig.Results.empty());

  rig.Board.SessionUp(1, 4);
  const Inputs taken = rig.Take(1);
  EXPECT_EQ(std::set<std::string>(taken.begin(), taken.end()), (std::set<std::string>{"t0", "t1", "t2", "t3", "t4"}));
  for (const std::string& input : taken) rig.Report(input, true, input);
  EXPECT_TRUE(rig.Board.WaitAll(0));
  for (const auto& [input, result] : rig.Results) {
    EXPECT_TRUE(result.Ok) << input;
    EXPECT_EQ(result.Agent, "b:2");
  }
  const std::vector<kelvra::TAgentSummary> summaries = rig.Board.AgentSummaries();
  EXPECT_TRUE(summaries[0].Lost);
  EXPECT_EQ(summaries[0].Reason, why);
  EXPECT_EQ(summaries[0].Failed, 0u);
  EXPECT_EQ(summaries[1].Done, 5u);
  EXPECT_EQ(rig.Board.Progress().AgentsUp, 1u);
}

// With no other agent, a refused task fails with the agent's reason; once
// the agent is left out, what waits fails as with no agent left.
TEST(TaskBoardAgentFailuresTest, TheOnlyAgentRefusingFailsTasksRatherThanHolding) {
  TBoardRig rig({"a:1"});
  rig.Board.SessionUp(0, 1);
  for (int i = 0; i < 4; ++i) rig.Add("t" + std::to_string(i));
  ASSERT_EQ(rig.Take(0), (Inputs{"t0", "t1"}));
  rig.Report("t0", false, kNoDll + "1");
  EXPECT_EQ(rig.Results["t0"].Failure, "no other agent can run it: " + kNoDll + "1");
  ASSERT_EQ(rig.Take(0), Inputs{"t2"});
  rig.Report("t1", false, kNoDll + "2");
  rig.Report("t2", false, kNoDll + "3");
  ASSERT_EQ(rig.Results.size(), 4u);
  EXPECT_EQ(rig.Results["t3"].Failure,
            "no agent left: agent a:1 is left out of the run: 3 tasks in a row failed there: " + kNoDll + "3");
  EXPECT_FALSE(rig.Board.WaitAll(0));
  EXPECT_THROW(rig.Add("t4"), kelvra::EGridError);
}

// Speculation after 50 ms: the queue comes first; then a session with room
// gets a copy of the oldest late task of another agent, once; the first
// answer of either is the result.
TEST(TaskBoardSpeculationTest, ALateTaskIsCopiedOnceAndTheFirstAnswerCounts) {
  TBoardRig rig({"a:1", "b:2"}, 3, 0.05);
  rig.Board.SessionUp(0, 1);
  for (const char* input : {"t0", "t1", "t2"}) rig.Add(input);
  ASSERT_EQ(rig.Take(0), (Inputs{"t0", "t1"}));
  rig.Board.SessionUp(1, 1);
  ASSERT_EQ(rig.Take(1), Inputs{"t2"});  // nothing late yet
  const auto bound = TTaskBoard::TClock::now() + std::chrono::seconds(20);
  ASSERT_EQ(rig.Take(1, bound), Inputs{"t0"});  // its window is full now
  rig.Report("t0", true, "from b");
  rig.Report("t0", true, "from a", false);
  EXPECT_EQ(rig.Results["t0"].Output, "from b");
  EXPECT_EQ(rig.Results["t0"].Agent, "b:2");

  rig.Report("t2", true, "t2");
  ASSERT_EQ(rig.Take(1, bound), Inputs{"t1"});
  rig.Report("t1", true, "from a", false);
  rig.Report("t1", false, "from b");
  EXPECT_EQ(rig.Results["t1"].Output, "from a");
  EXPECT_TRUE(rig.Board.WaitAll(0));
  EXPECT_EQ(rig.Board.Progress().SentTwice, 2u);
  const std::vector<kelvra::TAgentSummary> summaries = rig.Board.AgentSummaries();
  EXPECT_EQ(summaries[0].Done, 1u);
  EXPECT_EQ(summaries[1].Done, 2u);
  EXPECT_EQ(summaries[1].Failed, 0u);
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
  // The session that ended may still report what it had, also once the
  // task is sent again (under an id of its own), until the task is answered.
  board.SessionEnded(1, "closed");
  EXPECT_TRUE(board.InFlightOn(1, 2));
  EXPECT_TRUE(board.Waiting(2));
  ASSERT_TRUE(board.WaitForWork(0, TTaskBoard::TClock::now(), work));
  ASSERT_EQ(work.Tasks.size(), 1u);
  const std::string again = work.Tasks[0]->Command;
  ASSERT_EQ(again.rfind("RUN_TASK ", 0), 0u);
  const uint32_t newId = static_cast<uint32_t>(std::stoul(again.substr(9)));
  EXPECT_NE(newId, 2u);
  EXPECT_TRUE(board.InFlightOn(1, 2)) << "the ended session's send";
  EXPECT_TRUE(board.InFlightOn(0, newId));
  EXPECT_FALSE(board.InFlightOn(1, newId));
  board.Report(newId, true, "two");
  EXPECT_FALSE(board.InFlightOn(1, 2)) << "answered";
  EXPECT_FALSE(board.Waiting(2));
  board.Stop();
}

}  // namespace
