// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_BroadcastListener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Agent/T_MainThreadQueue.h"
#include "TestSupport.h"

namespace {

struct BroadcastListenerTest : ::testing::Test {
  TTestPlatform Platform;
  TMainThreadQueue MainThread;  // this test's thread is the main thread

  void Send(uint16_t port, const std::string& bytes) {
    ASSERT_OK(TUdpSocket::SendTo("127.0.0.1", port, bytes.data(), static_cast<int>(bytes.size())));
  }
};

}  // namespace

TEST_F(BroadcastListenerTest, HandsEachDatagramToTheMainThread) {
  std::vector<std::pair<std::string, int>> seen;
  std::thread::id ranOn;
  TBroadcastListener listener(Platform.Get(), MainThread, 0, [&](const std::string& sender, int length) {
    ranOn = std::this_thread::get_id();
    seen.emplace_back(sender, length);
  });
  Send(listener.Port(), "\x01");
  Send(listener.Port(), "hello");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (seen.size() < 2 && std::chrono::steady_clock::now() < deadline) {
    WaitReadable({MainThread.WakeDescriptor()}, 100);
    MainThread.ServePending();
  }
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], (std::pair<std::string, int>{"127.0.0.1", 1}));
  EXPECT_EQ(seen[1], (std::pair<std::string, int>{"127.0.0.1", 5}));
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST_F(BroadcastListenerTest, DestructionCompletesAPendingHandOver) {
  std::atomic<int> handled{0};
  auto listener = std::make_unique<TBroadcastListener>(Platform.Get(), MainThread, 0,
                                                       [&](const std::string&, int) { ++handled; });
  Send(listener->Port(), "x");
  // Wait until the listener thread has queued its hand-over, then destroy
  // without serving first: the destructor must serve it and return.
  ASSERT_TRUE(WaitReadable({MainThread.WakeDescriptor()}, 10000));
  listener.reset();
  EXPECT_EQ(handled.load(), 1);
}

TEST_F(BroadcastListenerTest, AnErrorOfTheHandlerEndsTheListenerAndIsLogged) {
  int handled = 0;
  TBroadcastListener listener(Platform.Get(), MainThread, 0, [&](const std::string&, int) {
    ++handled;
    throw std::runtime_error("handler failed");
  });
  Send(listener.Port(), "x");
  const std::vector<std::string> logged{"Unhandled error in Broadcast listener: handler failed"};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Platform.Debug.Taken() != logged && std::chrono::steady_clock::now() < deadline) {
    WaitReadable({MainThread.WakeDescriptor()}, 100);
    MainThread.ServePending();
  }
  ASSERT_EQ(Platform.Debug.Taken(), logged);
  // Nothing listens any more.
  Send(listener.Port(), "y");
  WaitReadable({MainThread.WakeDescriptor()}, 200);
  MainThread.ServePending();
  EXPECT_EQ(handled, 1);
}

TEST_F(BroadcastListenerTest, ABusyPortFailsConstruction) {
  TUdpSocket taken;
  ASSERT_OK(taken.Bind(0));
  EXPECT_THROW(TBroadcastListener(Platform.Get(), MainThread, taken.LocalPort(), [](const std::string&, int) {}),
               std::runtime_error);
}

TEST_F(BroadcastListenerTest, AThreadTheSystemRefusesFailsConstruction) {
  Platform.System.RefuseThreads("Broadcast listener");
  EXPECT_THROW(TBroadcastListener(Platform.Get(), MainThread, 0, [](const std::string&, int) {}), std::runtime_error);
  EXPECT_EQ(Platform.System.RefusedThreads(), 1);
}
