// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_UdpSocket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <thread>

#include "Platform/T_WakeDescriptor.h"
#include "StatusAssertions.h"

TEST(UdpSocket, ReceivesDatagramsWithTheirSender) {
  TUdpSocket socket;
  ASSERT_OK(socket.Bind(0));
  ASSERT_NE(socket.LocalPort(), 0);
  ASSERT_OK(TUdpSocket::SendTo("127.0.0.1", socket.LocalPort(), "\x01", 1));
  char buffer[8192];
  std::string sender;
  EXPECT_EQ(socket.Receive(buffer, sizeof buffer, sender), 1);
  EXPECT_EQ(sender, "127.0.0.1");
  EXPECT_EQ(buffer[0], 1);
}

TEST(UdpSocket, DropsDatagramsLongerThanTheBuffer) {
  TUdpSocket socket;
  ASSERT_OK(socket.Bind(0));
  std::string big(9000, 'x');
  ASSERT_OK(TUdpSocket::SendTo("127.0.0.1", socket.LocalPort(), big.data(), 9000));
  ASSERT_OK(TUdpSocket::SendTo("127.0.0.1", socket.LocalPort(), "ok", 2));
  char buffer[8192];
  std::string sender;
  EXPECT_EQ(socket.Receive(buffer, sizeof buffer, sender), 2);
  EXPECT_EQ(std::string(buffer, 2), "ok");
}

TEST(UdpSocket, ABusyPortFailsTheBindWithTheSystemsReason) {
  TUdpSocket first, second;
  ASSERT_OK(first.Bind(0));
  const std::string port = std::to_string(first.LocalPort());
  const TStatus taken = second.Bind(first.LocalPort());
  ASSERT_FALSE(taken.Ok());
  EXPECT_EQ(taken.Code(), EADDRINUSE);
  EXPECT_EQ(taken.Text(), "cannot bind UDP port " + port + ": Address already in use");
}

TEST(UdpSocket, SendingNeedsIPv4AddressesAndALocalSource) {
  const TStatus noTarget = TUdpSocket::SendTo("localhost", 9, "x", 1);
  EXPECT_EQ(noTarget.Text(), "cannot send to localhost:9: not an IPv4 address");
  EXPECT_EQ(noTarget.Code(), 0);
  EXPECT_EQ(TUdpSocket::SendTo("127.0.0.1", 9, "x", 1, "127.0.0").Reason(), "not an IPv4 address");
  // A source address this machine does not have cannot be bound: nothing is sent.
  const TStatus foreign = TUdpSocket::SendTo("127.0.0.1", 9, "x", 1, "192.0.2.1");
  EXPECT_EQ(foreign.Code(), EADDRNOTAVAIL);
  EXPECT_EQ(foreign.Reason(), "Cannot assign requested address");
}

TEST(UdpSocket, ShutdownEndsABlockedReceive) {
  TUdpSocket socket;
  ASSERT_OK(socket.Bind(0));
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
