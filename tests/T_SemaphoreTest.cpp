#include "Agent/T_Semaphore.h"

#include <gtest/gtest.h>

#include "Platform/T_Event.h"

TEST(TSemaphore, ReleasePastTheMaximumIsRefusedAndIgnored) {
  TSemaphore semaphore(2, 2);
  EXPECT_EQ(semaphore.Release(1), -1);
  EXPECT_EQ(semaphore.Count(), 2);
  EXPECT_TRUE(semaphore.Handle().Wait(0));
  EXPECT_EQ(semaphore.Release(2), -1);  // 1 + 2 would pass 2
  EXPECT_EQ(semaphore.Count(), 1);
  EXPECT_EQ(semaphore.Release(1), 1);  // the count before
  EXPECT_EQ(semaphore.Count(), 2);
}

TEST(TSemaphore, AWaitWithAnEventTakesOneCountOnlyWhenTheSemaphoreEndsIt) {
  TSemaphore semaphore(0, 100000);
  TEvent stop(true, false);
  EXPECT_EQ(semaphore.Release(3), 0);
  EXPECT_EQ(WaitForFirst(stop, semaphore.Handle(), 0), wrSecond);
  EXPECT_EQ(semaphore.Count(), 2);
  stop.Set();
  EXPECT_EQ(WaitForFirst(stop, semaphore.Handle(), 0), wrFirst);
  EXPECT_EQ(semaphore.Count(), 2);
}
