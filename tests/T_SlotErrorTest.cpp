#include "Common/T_SlotError.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

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
  EXPECT_EQ(TSlotError::Take(), std::nullopt);
}

TEST_F(SlotError, AnErrorBecomesTheFailureValueAndIsTakenOnce) {
  EXPECT_EQ(FailingSlot(), -7);
  EXPECT_EQ(TSlotError::Take(), "first failure");
  EXPECT_EQ(TSlotError::Take(), std::nullopt);
}

TEST_F(SlotError, TheFirstErrorStaysUntilTaken) {
  FailingSlot();
  TSlotError::Run([] { throw std::logic_error("second failure"); });
  EXPECT_EQ(TSlotError::Take(), "first failure");
}

TEST_F(SlotError, ANonStandardExceptionIsRememberedToo) {
  TSlotError::Run([] { throw 5; });
  EXPECT_EQ(TSlotError::Take(), TSlotError::kUnknownError);
}

TEST_F(SlotError, ClearForgets) {
  FailingSlot();
  TSlotError::Clear();
  EXPECT_EQ(TSlotError::Take(), std::nullopt);
}

TEST_F(SlotError, EachThreadHasItsOwn) {
  FailingSlot();
  std::optional<std::string> seenThere = "not run";
  std::thread([&] {
    seenThere = TSlotError::Take();
    TSlotError::Remember("other thread");
  }).join();
  EXPECT_EQ(seenThere, std::nullopt);
  EXPECT_EQ(TSlotError::Take(), "first failure");
}

TEST_F(SlotError, CheckRaisesTheCallsErrorAndKeepsAnEarlierOne) {
  TSlotError::Remember("the task's own error");
  try {
    TSlotError::Check(FailingSlot);
    FAIL() << "no exception";
  } catch (const std::exception& error) {
    EXPECT_STREQ(error.what(), "first failure");
  }
  EXPECT_EQ(TSlotError::Check([] { return 3; }), 3);
  EXPECT_EQ(TSlotError::Take(), "the task's own error");
}
