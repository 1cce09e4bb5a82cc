#include "Platform/T_UdpSocket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "Platform/T_WakeDescriptor.h"

TEST(UdpSocket, ReceivesDatagramsWithTheirSender) {
  TUdpSocket socket;
  std::string error;
  ASSERT_TRUE(socket.Bind(0, error)) << error;
  ASSERT_NE(socket.LocalPort(), 0);
  ASSERT_TRUE(TUdpSocket::SendTo("127.0.0.1", socket.LocalPort(), "\x01", 1, error)) << error;
  char buffer[8192];
  std::string sender;
  EXPECT_EQ(socket.Receive(buffer, sizeof buffer, sender), 1);
  EXPECT_EQ(sender, "127.0.0.1");
  EXPECT_EQ(buffer[0], 1);
}

TEST(UdpSocket, DropsDatagramsLongerThanTheBuffer) {
  TUdpSocket socket;
  std::string error;
  ASSERT_TRUE(socket.Bind(0, error)) << error;
  std::string big(9000, 'x');
  ASSERT_TRUE(TUdpSocket::SendTo("127.0.0.1", socket.LocalPort(), big.data(), 9000, error)) << error;
  ASSERT_TRUE(TUdpSocket::SendTo("127.0.0.1", socket.LocalPort(), "ok", 2, error)) << error;
  char buffer[8192];
  std::string sender;
  EXPECT_EQ(socket.Receive(buffer, sizeof buffer, sender), 2);
  EXPECT_EQ(std::string(buffer, 2), "ok");
}

TEST(UdpSocket, ABusyPortFailsTheBind) {
  TUdpSocket first, second;
  std::string error;
  ASSERT_TRUE(first.Bind(0, error));
  EXPECT_FALSE(second.Bind(first.LocalPort(), error));
  EXPECT_EQ(error, "Address already in use");
}

TEST(UdpSocket, ShutdownEndsABlockedReceive) {
  TUdpSocket socket;
  std::string error;
  ASSERT_TRUE(socket.Bind(0, error));
  auto receiver = std::async(std::launch::async, [&] {
    char buffer[16];
    std::string sender;
    return socket.Receive(buffer, sizeof buffer, sender);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  socket.Shutdown();
  ASSERT_EQ(receiver.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(receiver.get(), -1);
  char buffer[16];
  std::string sender;
  EXPECT_EQ(socket.Receive(buffer, sizeof buffer, sender), -1);
}

TEST(WakeDescriptor, SignalWakesAWaitUntilDrained) {
  TWakeDescriptor wake;
  EXPECT_FALSE(WaitReadable({wake.Get()}, 0));
  wake.Signal();
  wake.Signal();
  EXPECT_TRUE(WaitReadable({wake.Get()}, 0));
  wake.Drain();
  EXPECT_FALSE(WaitReadable({wake.Get()}, 0));
  std::thread([&] { wake.Signal(); }).join();
  EXPECT_TRUE(WaitReadable({wake.Get()}, 10000));
}
