// The life every agent thread has: started through the system seam, asked
// to stop, finished on every way out of its body, waited for with a bound.
#include "Platform/T_Thread.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <stdexcept>
#include <system_error>

#include "TestSupport.h"

namespace {

struct ThreadTest : ::testing::Test {
  TFakeSystem System;
  TRecordingSink Debug;
};

}  // namespace

TEST_F(ThreadTest, ABodyEndedByAnErrorIsFinishedLoggedAndWakesItsOwner) {
  std::atomic<int> woken{0};
  TThread thrower("Thrower");
  thrower.Start(System, Debug, [] { throw std::runtime_error("boom"); }, [&] { ++woken; });
  ASSERT_TRUE(thrower.Join(60000));
  EXPECT_TRUE(thrower.Finished());
  EXPECT_EQ(woken.load(), 1);

  TThread other("Other");
  other.Start(System, Debug, [] { throw 7; });
  ASSERT_TRUE(other.Join(60000));
  EXPECT_EQ(Debug.Taken(), (std::vector<std::string>{"Unhandled error in Thrower: boom", "Unhandled error in Other"}));
  EXPECT_EQ(System.ThreadNames(), (std::vector<std::string>{"Thrower", "Other"}));
}

TEST_F(ThreadTest, ABoundedJoinAnswersWhetherTheBodyHasEnded) {
  TEvent wake(false, false);
  TThread thread("Waiter");
  thread.Start(System, Debug, [&] {
    while (!thread.StopRequested()) wake.Wait(kInfiniteWait);
  });
  // The body waits for its stop request: a short join cannot see it end.
  EXPECT_FALSE(thread.Join(20));
  EXPECT_FALSE(thread.Finished());
  thread.RequestStop();
  wake.Set();
  EXPECT_TRUE(thread.Join(60000));
  EXPECT_TRUE(thread.Finished());
  EXPECT_TRUE(Debug.Taken().empty());
}

TEST_F(ThreadTest, PthreadExitInTheBodyStillFinishesTheThread) {
  TThread thread("Leaver");
  thread.Start(System, Debug, [] { ::pthread_exit(nullptr); });
  EXPECT_TRUE(thread.Join(60000));
  EXPECT_TRUE(thread.Finished());
}

TEST_F(ThreadTest, AThreadTheSystemRefusesNeverRunsAndCountsAsFinished) {
  System.RefuseThreads("Refused");
  TThread thread("Refused");
  std::atomic<bool> ran{false};
  EXPECT_THROW(thread.Start(System, Debug, [&] { ran = true; }), std::system_error);
  EXPECT_TRUE(thread.Finished());
  EXPECT_TRUE(thread.Join(0));
  EXPECT_FALSE(ran.load());
  EXPECT_THROW(thread.Start(System, Debug, [] {}), std::logic_error) << "a thread starts once";
}
