// SPDX-License-Identifier: Apache-2.0
#include "Common/T_SlotError.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "StatusAssertions.h"

namespace {

// Clears what a test left behind, so one failing test cannot leak its error
// into the next one on the same thread.
class SlotError : public ::testing::Test {
 protected:
  void SetUp() override { TSlotError::Clear(); }
  void TearDown() override { TSlotError::Clear(); }
};

int FailingSlot() {
  return TSlotError::Run(-7, []() -> int { throw std::runtime_error("first failure"); });
}

}  // namespace

TEST_F(SlotError, RunAnswersTheBodysResultAndRemembersNothing) {
  EXPECT_EQ(TSlotError::Run(0, [] { return 42; }), 42);
  TSlotError::Run([] { return TStatus(); });
  EXPECT_OK(TSlotError::Take());
}

TEST_F(SlotError, AnErrorBecomesTheFailureValueAndIsTakenOnce) {
  EXPECT_EQ(FailingSlot(), -7);
  EXPECT_EQ(TSlotError::Take().Text(), "first failure");
  EXPECT_OK(TSlotError::Take());
}

TEST_F(SlotError, AFailedStatusIsRememberedWithoutARaise) {
  TSlotError::Run([] { return TStatus::Failure("", "Range check error"); });
  EXPECT_EQ(TSlotError::Take().Text(), "Range check error");
  auto answer = [](const TStatus& status) {
    return TSlotError::Run(int32_t{0}, [&] { return TSlotError::Answer(status, int32_t{5}, int32_t{-1}); });
  };
  EXPECT_EQ(answer(TStatus()), 5);
  EXPECT_OK(TSlotError::Take());
  EXPECT_EQ(answer(TStatus::Failure("cannot grow", "no memory")), -1);
  EXPECT_EQ(TSlotError::Take().Text(), "cannot grow: no memory");
}

TEST_F(SlotError, TheFirstErrorStaysUntilTaken) {
  FailingSlot();
  TSlotError::Run([] { throw std::logic_error("second failure"); });
  TSlotError::Run([] { return TStatus::Failure("", "third failure"); });
  EXPECT_EQ(TSlotError::Take().Text(), "first failure");
}

TEST_F(SlotError, ANonStandardExceptionIsRememberedToo) {
  TSlotError::Run([] { throw 5; });
  EXPECT_EQ(TSlotError::Take().Text(), TSlotError::kUnknownError);
}

TEST_F(SlotError, ClearForgets) {
  FailingSlot();
  TSlotError::Clear();
  EXPECT_OK(TSlotError::Take());
}

TEST_F(SlotError, EachThreadHasItsOwn) {
  FailingSlot();
  TStatus seenThere = TStatus::Failure("", "not run");
  std::thread([&] {
    seenThere = TSlotError::Take();
    TSlotError::Remember("other thread");
  }).join();
  EXPECT_OK(seenThere);
  EXPECT_EQ(TSlotError::Take().Text(), "first failure");
}

TEST_F(SlotError, CheckAnswersTheCallsErrorAndKeepsAnEarlierOne) {
  TSlotError::Remember("the task's own error");
  EXPECT_EQ(TSlotError::Check(FailingSlot).Text(), "first failure");
  EXPECT_OK(TSlotError::Check([] { return 3; }));
  EXPECT_EQ(TSlotError::Take().Text(), "the task's own error");
}
