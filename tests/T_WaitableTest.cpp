// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_Waitable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "Platform/T_Condition.h"
#include "Platform/T_Event.h"
#include "Platform/T_Mutex.h"
#include "Platform/T_PlatformSemaphore.h"
#include "TestSupport.h"

using namespace std::chrono_literals;

namespace {

constexpr int kLongWaitMs = 10000;  // a bound never reached in a passing run

struct TFlag {
  TMutex Mutex;
  TCondition Changed;
  bool Set GUARDED_BY(Mutex) = false;
};

}  // namespace

// A condition wait lets the lock go and takes it back behind TMutex's back;
// another thread takes it meanwhile. The owner a debug build records for
// AssertHeld must be the waiter again afterwards.
TEST(TMutex, AssertHeldKnowsTheOwnerAfterAConditionWait) {
  TFlag flag;
  TMutexLock guard(flag.Mutex);
  // Started under the lock: its lock waits until this thread waits.
  std::thread other([&flag] {
    TMutexLock otherGuard(flag.Mutex);
    flag.Mutex.AssertHeld();
    flag.Set = true;
    flag.Changed.NotifyAll();
  });
  while (!flag.Set) flag.Changed.WaitFor(flag.Mutex, kLongWaitMs);
  flag.Mutex.AssertHeld();
  flag.Set = false;
  flag.Changed.WaitUntil(flag.Mutex, std::chrono::steady_clock::now() + 1ms);  // a wait that times out
  flag.Mutex.AssertHeld();
  other.join();
}

TEST(TMutexDeathTest, AssertHeldFailsWhereTheLockIsNotHeld) {
#ifdef NDEBUG
  GTEST_SKIP() << "the owner is recorded in debug builds only";
#else
  TMutex mutex;
  EXPECT_DEATH(mutex.AssertHeld(), "TMutex not held");
  mutex.Lock();
  mutex.Unlock();
  EXPECT_DEATH(mutex.AssertHeld(), "TMutex not held");
#endif
}

TEST(TEvent, AutoResetReleasesOneWaitPerSet) {
  TEvent event(false, false);
  EXPECT_FALSE(event.Wait(0));
  event.Set();
  EXPECT_TRUE(event.IsSet());
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.Wait(0));
}

TEST(TEvent, ManualResetStaysSetUntilReset) {
  TEvent event(true, true);
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.IsSet());
  event.Reset();
  EXPECT_FALSE(event.Wait(0));
  event.Set();
  EXPECT_TRUE(event.Wait(-1));  // no limit, and already set
}

TEST(TEvent, WaitTimesOutAfterAboutTheTimeOut) {
  TEvent event(false, false);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(event.Wait(150));
  EXPECT_GE(ElapsedMs(start), 140);
}

TEST(TEvent, SetWakesAWaitWithoutLimit) {
  TEvent event(false, false);
  auto waiter = std::async(std::launch::async, [&] { return event.Wait(kInfiniteWait); });
  std::this_thread::sleep_for(50ms);
  event.Set();
  ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(waiter.get());
  EXPECT_FALSE(event.IsSet());
}

TEST(TEvent, ManualResetSetReleasesEveryWaiter) {
  TEvent event(true, false);
  std::vector<std::future<bool>> waiters;
  for (int i = 0; i < 4; ++i)
    waiters.push_back(std::async(std::launch::async, [&] { return event.Wait(kLongWaitMs); }));
  std::this_thread::sleep_for(50ms);
  event.Set();
  for (auto& waiter : waiters) {
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(waiter.get());
  }
  EXPECT_TRUE(event.IsSet());
}

TEST(TEvent, AutoResetSetReleasesExactlyOneOfTwoWaiters) {
  TEvent event(false, false);
  auto first = std::async(std::launch::async, [&] { return event.Wait(1500); });
  auto second = std::async(std::launch::async, [&] { return event.Wait(1500); });
  std::this_thread::sleep_for(50ms);
  event.Set();
  int released = int{first.get()} + int{second.get()};
  EXPECT_EQ(released, 1);
  EXPECT_FALSE(event.IsSet());
}

TEST(TPlatformSemaphore, ReleaseBeyondTheMaximumFailsAndChangesNothing) {
  TPlatformSemaphore semaphore(1, 2);
  EXPECT_EQ(semaphore.Maximum(), 2);
  int previous = -1;
  EXPECT_FALSE(semaphore.Release(2, &previous));
  EXPECT_EQ(previous, -1);
  EXPECT_EQ(semaphore.Count(), 1);
  EXPECT_TRUE(semaphore.Release(1, &previous));
  EXPECT_EQ(previous, 1);
  EXPECT_EQ(semaphore.Count(), 2);
  EXPECT_FALSE(semaphore.Release());
  EXPECT_FALSE(semaphore.Release(0));
  EXPECT_FALSE(semaphore.Release(-1));
  EXPECT_EQ(semaphore.Count(), 2);
}

TEST(TPlatformSemaphore, EachWaitTakesOneAndAnEmptyOneTimesOut) {
  TPlatformSemaphore semaphore(2, 5);
  EXPECT_TRUE(semaphore.Wait(0));
  EXPECT_TRUE(semaphore.Wait(100));
  EXPECT_EQ(semaphore.Count(), 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(semaphore.Wait(120));
  EXPECT_GE(ElapsedMs(start), 110);
  EXPECT_EQ(semaphore.Count(), 0);
}

TEST(TPlatformSemaphore, TwoWaitersForOneCountOnlyOneGetsIt) {
  TPlatformSemaphore semaphore(0, 5);
  auto first = std::async(std::launch::async, [&] { return semaphore.Wait(1500); });
  auto second = std::async(std::launch::async, [&] { return semaphore.Wait(1500); });
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(semaphore.Release());
  EXPECT_EQ(int{first.get()} + int{second.get()}, 1);
  EXPECT_EQ(semaphore.Count(), 0);
}

TEST(TPlatformSemaphore, EveryCountIsTakenExactlyOnceUnderContention) {
  constexpr int kReleases = 4000;
  TPlatformSemaphore semaphore(0, 3);
  std::atomic<int> taken{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> takers;
  for (int i = 0; i < 4; ++i) {
    takers.emplace_back([&] {
      while (!done.load()) {
        if (semaphore.Wait(20)) ++taken;
      }
    });
  }
  for (int released = 0; released < kReleases;) {
    if (semaphore.Release()) {
      ++released;
    } else {
      std::this_thread::yield();
    }
  }
  ASSERT_TRUE(WaitUntil([&] { return taken.load() == kReleases; }));
  done.store(true);
  for (auto& taker : takers) taker.join();
  EXPECT_EQ(taken.load(), kReleases);
  EXPECT_EQ(semaphore.Count(), 0);
}

TEST(WaitForFirst, TheFirstWinsATieAndOnlyItIsConsumed) {
  TEvent first(false, true);
  TPlatformSemaphore second(1, 1);
  EXPECT_EQ(WaitForFirst(first, second, 0), wrFirst);
  EXPECT_FALSE(first.IsSet());
  EXPECT_EQ(second.Count(), 1);
  EXPECT_EQ(WaitForFirst(first, second, 0), wrSecond);
  EXPECT_EQ(second.Count(), 0);
}

TEST(WaitForFirst, SemaphoreFirstWinsATieWithAnEvent) {
  TPlatformSemaphore first(2, 2);
  TEvent second(false, true);
  EXPECT_EQ(WaitForFirst(first, second, 1000), wrFirst);
  EXPECT_EQ(first.Count(), 1);
  EXPECT_TRUE(second.IsSet());
}

TEST(WaitForFirst, AManualResetWinnerStaysSet) {
  TEvent first(true, true);
  TEvent second(false, true);
  EXPECT_EQ(WaitForFirst(first, second, 0), wrFirst);
  EXPECT_EQ(WaitForFirst(first, second, 0), wrFirst);
  EXPECT_TRUE(first.IsSet());
  EXPECT_TRUE(second.IsSet());
}

TEST(WaitForFirst, TheSecondWinsAloneAndTheFirstIsUntouched) {
  TPlatformSemaphore first(0, 3);
  TEvent second(false, true);
  EXPECT_EQ(WaitForFirst(first, second, 0), wrSecond);
  EXPECT_FALSE(second.IsSet());
  EXPECT_EQ(first.Count(), 0);
}

TEST(WaitForFirst, TimesOutWhenNeitherIsSignalledAndChangesNothing) {
  TEvent first(false, false);
  TPlatformSemaphore second(0, 1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForFirst(first, second, 150), wrTimeout);
  EXPECT_GE(ElapsedMs(start), 140);
  EXPECT_EQ(WaitForFirst(first, second, 0), wrTimeout);
  first.Set();
  EXPECT_EQ(WaitForFirst(first, second, 0), wrFirst);
}

TEST(WaitForFirst, WakesWhenEitherIsSignalledByAnotherThread) {
  TEvent first(false, false);
  TPlatformSemaphore second(0, 1);
  auto waiter = std::async(std::launch::async, [&] { return WaitForFirst(first, second, kInfiniteWait); });
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(second.Release());
  ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(waiter.get(), wrSecond);
  EXPECT_EQ(second.Count(), 0);

  waiter = std::async(std::launch::async, [&] { return WaitForFirst(first, second, -1); });
  std::this_thread::sleep_for(50ms);
  first.Set();
  ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(waiter.get(), wrFirst);
  EXPECT_FALSE(first.IsSet());
}

TEST(WaitForFirst, OneReleaseEndsOneOfTwoWaitsOnTheSameSemaphore) {
  TPlatformSemaphore shared(0, 5);
  TEvent stopA(false, false);
  TEvent stopB(false, false);
  auto a = std::async(std::launch::async, [&] { return WaitForFirst(stopA, shared, 1500); });
  auto b = std::async(std::launch::async, [&] { return WaitForFirst(shared, stopB, 1500); });
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(shared.Release());
  TWaitResult resultA = a.get();
  TWaitResult resultB = b.get();
  EXPECT_EQ(int{resultA == wrSecond} + int{resultB == wrFirst}, 1);
  EXPECT_EQ(int{resultA == wrTimeout} + int{resultB == wrTimeout}, 1);
  EXPECT_EQ(shared.Count(), 0);
}

TEST(WaitForFirst, TheSameObjectTwiceIsAWaitOnIt) {
  TEvent event(false, true);
  EXPECT_EQ(WaitForFirst(event, event, 0), wrFirst);
  EXPECT_EQ(WaitForFirst(event, event, 0), wrTimeout);
}
