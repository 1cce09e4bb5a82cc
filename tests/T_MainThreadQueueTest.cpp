// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_MainThreadQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

TEST(MainThreadQueue, RunsCallsOnTheMainThreadAndWaitsForThem) {
  TMainThreadQueue queue;  // this test's thread is the main thread
  const auto main = std::this_thread::get_id();
  std::thread::id ranOn;
  auto caller = std::async(std::launch::async, [&] { queue.RunSynchronously([&] { ranOn = std::this_thread::get_id(); }); });
  ASSERT_TRUE(WaitReadable({queue.WakeDescriptor()}, 10000));
  queue.ServePending();
  ASSERT_EQ(caller.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  caller.get();
  EXPECT_EQ(ranOn, main);
}

TEST(MainThreadQueue, OnTheMainThreadACallRunsAtOnce) {
  TMainThreadQueue queue;
  int runs = 0;
  queue.RunSynchronously([&] { ++runs; });
  EXPECT_EQ(runs, 1);
}

TEST(MainThreadQueue, AnErrorReachesTheCaller) {
  TMainThreadQueue queue;
  auto caller = std::async(std::launch::async, [&] {
    queue.RunSynchronously([] { throw std::runtime_error("meter failed"); });
  });
  while (caller.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) queue.ServePending();
  EXPECT_THROW(caller.get(), std::runtime_error);
}

TEST(MainThreadQueue, ServeUntilLetsAWaitingThreadFinish) {
  // The shutdown case: the main thread waits for a thread that is itself
  // waiting for a hand-over.
  TMainThreadQueue queue;
  std::atomic<bool> finished{false};
  int handed = 0;
  std::thread worker([&] {
    for (int i = 0; i < 5; ++i) queue.RunSynchronously([&] { ++handed; });
    finished = true;
    queue.Wake();
  });
  queue.ServeUntil([&] { return finished.load(); });
  worker.join();
  EXPECT_EQ(handed, 5);
}
