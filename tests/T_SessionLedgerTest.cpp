// SPDX-License-Identifier: Apache-2.0
// The ledger of a session's unanswered tasks: what the agent reads after a
// session process ended must be exactly the tasks accepted and not
// answered, whatever the order and however the table's probes collide.
#include <gtest/gtest.h>

#include <csignal>
#include <algorithm>
#include <map>
#include <memory>
#include <random>

#include "Agent/T_AgentStatusThread.h"
#include "Agent/T_SessionLedger.h"

namespace {

struct LedgerTest : ::testing::Test {
  std::unique_ptr<TSessionLedger::TRegion> Region = std::make_unique<TSessionLedger::TRegion>();
  TSessionLedger Ledger{*Region};
};

// Ids whose first probe lands on one slot (found by search), so answering
// one must move the others without losing them.
TEST_F(LedgerTest, CollidingIdsSurviveAnswersInAnyOrder) {
  std::vector<uint32_t> colliding;
  const auto home = [](uint32_t id) { return (id * 2654435761u) % TSessionLedger::kSlots; };
  for (uint32_t id = 1; colliding.size() < 5; ++id)
    if (home(id) == home(7)) colliding.push_back(id);
  for (uint32_t id : colliding) Ledger.Accepted(id);
  Ledger.Accepted(colliding[2]);  // a user may send an id twice
  Ledger.Answered(colliding[0]);
  Ledger.Answered(colliding[2]);
  Ledger.Answered(12345);  // never accepted: nothing changes
  std::vector<uint32_t> expected{colliding[1], colliding[2], colliding[3], colliding[4]};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Ledger.Unanswered(), expected);
}

TEST_F(LedgerTest, RandomChurnMatchesAMultiset) {
  std::mt19937 random(24);
  std::multiset<uint32_t> open;
  for (int step = 0; step < 200000; ++step) {
    const uint32_t id = random() % 30000;
    if (open.size() < 12000 && (random() % 2 == 0 || open.empty())) {
      Ledger.Accepted(id);
      open.insert(id);
    } else if (auto found = open.find(id); found != open.end()) {
      Ledger.Answered(id);
      open.erase(found);
    }
  }
  EXPECT_EQ(Ledger.Unanswered(), std::vector<uint32_t>(open.begin(), open.end()));
}

TEST_F(LedgerTest, FaultCleanEndAndLoadReachTheOtherSide) {
  EXPECT_FALSE(Ledger.EndedCleanly());
  Ledger.NoteFault(std::string(2000, 'f'));
  EXPECT_EQ(Ledger.LastFault().size(), TSessionLedger::kFaultTextSize - 1) << "cut, never overrun";
  Ledger.NoteFault("task 3: Segmentation fault");
  EXPECT_EQ(Ledger.LastFault(), "task 3: Segmentation fault");
  Ledger.MarkCleanEnd();
  EXPECT_TRUE(Ledger.EndedCleanly());
  Ledger.SetLoad(2.5f, 40, 50, 1536);
  EXPECT_EQ(Ledger.LoadSummary(), TAgentStatusThread::FormatLoadSummary(2.5f, 40, 50, 1536));
}

// A caught fault is noted before anything is allocated; until its text is
// formed the process counts as stuck past the limit, and the text clears it.
TEST_F(LedgerTest, AFaultWhoseTextNeverCameMarksTheProcessStuck) {
  EXPECT_FALSE(Ledger.StuckAfterFault(-1));
  Ledger.FaultCaught(SIGSEGV);
  EXPECT_EQ(Ledger.LastFault(), "SIGSEGV in task code");
  EXPECT_TRUE(Ledger.StuckAfterFault(-1));
  EXPECT_FALSE(Ledger.StuckAfterFault(60000)) << "not before the limit";
  Ledger.NoteFault("task 4: Segmentation fault (SIGSEGV)");
  EXPECT_FALSE(Ledger.StuckAfterFault(-1));
}

}  // namespace
