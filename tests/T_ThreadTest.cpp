// SPDX-License-Identifier: Apache-2.0
// The life every agent thread has: started through the system seam, asked
// to stop, finished on every way out of its body, waited for with a bound.
#include "Platform/T_Thread.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cerrno>
#include <csignal>
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
  ASSERT_OK(thrower.TryStart(System, Debug, [] { throw std::runtime_error("boom"); }, [&] { ++woken; }));
  ASSERT_TRUE(thrower.Join(60000));
  EXPECT_TRUE(thrower.Finished());
  EXPECT_EQ(woken.load(), 1);

  TThread other("Other");
  ASSERT_OK(other.TryStart(System, Debug, [] { throw 7; }));
  ASSERT_TRUE(other.Join(60000));
  EXPECT_EQ(Debug.Taken(), (std::vector<std::string>{"Unhandled error in Thrower: boom", "Unhandled error in Other"}));
  EXPECT_EQ(System.ThreadNames(), (std::vector<std::string>{"Thrower", "Other"}));
}

TEST_F(ThreadTest, ABoundedJoinAnswersWhetherTheBodyHasEnded) {
  TEvent wake(false, false);
  TThread thread("Waiter");
  ASSERT_OK(thread.TryStart(System, Debug, [&] {
    while (!thread.StopRequested()) wake.Wait(kInfiniteWait);
  }));
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
  ASSERT_OK(thread.TryStart(System, Debug, [] { ::pthread_exit(nullptr); }));
  EXPECT_TRUE(thread.Join(60000));
  EXPECT_TRUE(thread.Finished());
}

TEST_F(ThreadTest, AThreadTheSystemRefusesNeverRunsAndCountsAsFinished) {
  System.RefuseThreads("Refused");
  TThread thread("Refused");
  std::atomic<bool> ran{false};
  const TStatus started = thread.TryStart(System, Debug, [&] { ran = true; });
  EXPECT_EQ(started.Text(), "cannot make thread Refused: Resource temporarily unavailable");
  EXPECT_EQ(started.Code(), EAGAIN);
  EXPECT_TRUE(thread.Finished());
  EXPECT_TRUE(thread.Join(0));
  EXPECT_FALSE(ran.load());
  EXPECT_THROW(thread.Start(System, Debug, [] {}), std::logic_error) << "a thread starts once";

  // The raising form carries the same reason.
  TThread raising("Refused");
  try {
    raising.Start(System, Debug, [] {});
    ADD_FAILURE() << "a refused thread raised nothing";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), EAGAIN);
    EXPECT_STREQ(error.what(), "Resource temporarily unavailable");
  }
  EXPECT_TRUE(raising.Finished());
}

namespace {

bool ShutdownSignalBlocked() {
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  return sigismember(&mask, SIGTERM) == 1;
}

}  // namespace

TEST_F(ThreadTest, TheShutdownSignalsAreBlockedInTheThreadAloneWhetherOrNotItIsMade) {
  ASSERT_FALSE(ShutdownSignalBlocked());
  std::atomic<bool> blockedInside{false};
  TThread made("Made");
  ASSERT_OK(made.TryStart(System, Debug, [&] { blockedInside = ShutdownSignalBlocked(); }));
  ASSERT_TRUE(made.Join(60000));
  EXPECT_TRUE(blockedInside.load());
  EXPECT_FALSE(ShutdownSignalBlocked());

  System.RefuseThreads("Refused");
  TThread refused("Refused");
  EXPECT_FALSE(refused.TryStart(System, Debug, [] {}).Ok());
  EXPECT_FALSE(ShutdownSignalBlocked());
}
