// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_Suspension.h"

#include <gtest/gtest.h>

TEST(Suspension, TenBusyPassesStartItAndTheyNeedNotBeConsecutive) {
  TSuspension suspension(30, 5000);
  uint32_t now = 5000;
  for (int pass = 0; pass < 9; ++pass) {
    EXPECT_EQ(suspension.Update(5, 4, now += 100), 0) << "pass " << pass;
    EXPECT_EQ(suspension.Update(50, 0, now += 100), 0);  // a quiet pass does not reset the count
  }
  EXPECT_EQ(suspension.Update(0, 9, now += 100), 30);
  EXPECT_EQ(suspension.Update(90, 0, now += 999), 29);
  EXPECT_EQ(suspension.Update(90, 0, now += 29'001), 0);
  EXPECT_EQ(suspension.Update(90, 0, now += 5000), 0);  // past the deadline
}

TEST(Suspension, TenPercentTogetherIsNotBusy) {
  TSuspension suspension(30, 0);
  for (uint32_t pass = 1; pass <= 20; ++pass) EXPECT_EQ(suspension.Update(6, 4, pass * 100), 0);
}

TEST(Suspension, ZeroTimeoutIsAlwaysZero) {
  TSuspension suspension(0, 0);
  for (uint32_t pass = 1; pass <= 25; ++pass) EXPECT_EQ(suspension.Update(0, 0, pass * 100), 0);
}

TEST(Suspension, ADeadlineAcrossTheTickWrapCountsDown) {
  uint32_t now = 0xFFFFFFFFu - 2000;  // two seconds before the wrap
  TSuspension suspension(5, now);
  int left = 0;
  for (int pass = 0; pass < 10; ++pass) left = suspension.Update(0, 0, now);
  EXPECT_EQ(left, 5);
  EXPECT_EQ(suspension.Update(50, 0, now += 3000), 2);  // past the wrap: 2 s left
  EXPECT_EQ(suspension.Update(50, 0, now += 2500), 0);
}
