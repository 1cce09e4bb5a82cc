// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_TcpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "FakePeers.h"
#include "StatusAssertions.h"
#include "TestSupport.h"

using namespace std::chrono_literals;

namespace {

uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

// A listening socket on 127.0.0.1 and a free port.
TTcpSocket MakeListener(uint16_t& port) {
  TTcpSocket listener;
  EXPECT_OK(listener.Create());
  EXPECT_OK(listener.Bind(Loopback(), 0));
  EXPECT_OK(listener.Listen());
  EXPECT_OK(listener.LocalPort(port));
  return listener;
}

int IntOption(int fd, int level, int name) {
  int value = -1;
  socklen_t size = sizeof value;
  EXPECT_EQ(::getsockopt(fd, level, name, &value, &size), 0);
  return value;
}

bool CloseOnExec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

}  // namespace

TEST(TTcpSocket, ConnectionsHaveNoDelayAndEveryDescriptorIsCloseOnExec) {
  uint16_t port = 0;
  TTcpSocket listener = MakeListener(port);
  EXPECT_TRUE(CloseOnExec(listener.Get()));
  EXPECT_NE(IntOption(listener.Get(), SOL_SOCKET, SO_REUSEADDR), 0);

  TTcpSocket client;
  ASSERT_OK(client.Create());
  EXPECT_TRUE(CloseOnExec(client.Get()));
  ASSERT_OK(TTcpSocket::Connect(client.Get(), Loopback(), port, 10000));
  EXPECT_NE(IntOption(client.Get(), IPPROTO_TCP, TCP_NODELAY), 0);
  EXPECT_EQ(::fcntl(client.Get(), F_GETFL) & O_NONBLOCK, 0) << "blocking again after the connect";

  TTcpSocket accepted;
  uint32_t address = 0;
  uint16_t remotePort = 0;
  ASSERT_OK(TTcpSocket::Accept(listener.Get(), accepted, address, remotePort));
  EXPECT_TRUE(CloseOnExec(accepted.Get()));
  EXPECT_NE(IntOption(accepted.Get(), IPPROTO_TCP, TCP_NODELAY), 0);
  EXPECT_EQ(TTcpSocket::AddressText(address), "127.0.0.1");
  EXPECT_NE(remotePort, 0);
}

// With the old backlog of 5 the kernel drops connection requests beyond the
// sixth while nobody accepts; with SOMAXCONN all of them complete.
TEST(TTcpSocket, ListenBacklogTakesManyPendingConnections) {
  uint16_t port = 0;
  TTcpSocket listener = MakeListener(port);
  std::vector<TTcpSocket> clients(24);
  for (auto& client : clients) {
    ASSERT_OK(client.Create());
    // A connect that is not answered gives up after 1 s.
    EXPECT_OK(TTcpSocket::Connect(client.Get(), Loopback(), port, 1000));
  }
}

TEST(TTcpSocket, BindingAPortInUseFails) {
  uint16_t port = 0;
  TTcpSocket listener = MakeListener(port);
  TTcpSocket second;
  ASSERT_OK(second.Create());
  TStatus bound = second.Bind(Loopback(), port);
  EXPECT_EQ(bound.Code(), EADDRINUSE);
  EXPECT_EQ(bound.Text(), "bind: Address already in use");
}

TEST(TTcpSocket, ShutdownWakesABlockedAccept) {
  uint16_t port = 0;
  TTcpSocket listener = MakeListener(port);
  auto accepting = std::async(std::launch::async, [&] {
    TTcpSocket accepted;
    uint32_t address = 0;
    uint16_t remotePort = 0;
    return TTcpSocket::Accept(listener.Get(), accepted, address, remotePort);
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_OK(TTcpSocket::Shutdown(listener.Get()));
  ASSERT_EQ(accepting.wait_for(5s), std::future_status::ready);
  TStatus status = accepting.get();
  EXPECT_EQ(status.Code(), EINVAL);
  EXPECT_EQ(status.Context(), "accept");
}

TEST(TTcpSocket, ReceiveTimesOutAndSendGathersTwoPieces) {
  uint16_t port = 0;
  TTcpSocket listener = MakeListener(port);
  TTcpSocket client;
  ASSERT_OK(client.Create());
  ASSERT_OK(TTcpSocket::Connect(client.Get(), Loopback(), port, 10000));
  TTcpSocket accepted;
  uint32_t address = 0;
  uint16_t remotePort = 0;
  ASSERT_OK(TTcpSocket::Accept(listener.Get(), accepted, address, remotePort));

  char buffer[64] = {};
  size_t received = 99;
  auto start = std::chrono::steady_clock::now();
  TStatus timedOut = TTcpSocket::Receive(accepted.Get(), buffer, sizeof buffer, 200, received);
  EXPECT_TRUE(TTcpSocket::TimedOut(timedOut));
  EXPECT_EQ(timedOut.Text(), "recv: Connection timed out");
  EXPECT_GE(ElapsedMs(start), 180);
  EXPECT_EQ(received, 0u);

  ASSERT_OK(TTcpSocket::Send(client.Get(), "\x05\0\0\0", 4, "hello", 5, 1000));
  std::string got;
  while (got.size() < 9) {
    ASSERT_OK(TTcpSocket::Receive(accepted.Get(), buffer, sizeof buffer, 5000, received));
    ASSERT_GT(received, 0u);
    got.append(buffer, received);
  }
  EXPECT_EQ(got, std::string("\x05\0\0\0hello", 9));

  ASSERT_OK(TTcpSocket::Shutdown(client.Get()));
  EXPECT_OK(TTcpSocket::Receive(accepted.Get(), buffer, sizeof buffer, 5000, received));
  EXPECT_EQ(received, 0u);
}

// The in-memory connection the tests and fuzz targets feed the agent through.
TEST(TTcpSocket, APairIsAConnectionBothWaysAndShutdownSendEndsOneDirection) {
  TTcpSocket first;
  TTcpSocket second;
  ASSERT_OK(TTcpSocket::Pair(first, second));
  EXPECT_TRUE(CloseOnExec(first.Get()));
  EXPECT_TRUE(CloseOnExec(second.Get()));

  ASSERT_OK(TTcpSocket::Send(first.Get(), "ab", 2, "c", 1, 1000));
  ASSERT_OK(TTcpSocket::ShutdownSend(first.Get()));
  char buffer[8] = {};
  size_t received = 0;
  std::string got;
  for (;;) {
    ASSERT_OK(TTcpSocket::Receive(second.Get(), buffer, sizeof buffer, 5000, received));
    if (received == 0) break;  // the end of what `first` sends
    got.append(buffer, received);
  }
  EXPECT_EQ(got, "abc");

  // The other direction stays open.
  ASSERT_OK(TTcpSocket::Send(second.Get(), "back", 4, nullptr, 0, 1000));
  ASSERT_OK(TTcpSocket::Receive(first.Get(), buffer, sizeof buffer, 5000, received));
  EXPECT_EQ(std::string(buffer, received), "back");
}

// Nobody answers: the listener's queue is full, so the kernel drops the SYNs
// and would retry them for about two minutes. The connect ends at its
// deadline, or at once when another thread shuts the socket down.
TEST(TTcpSocket, AnUnansweredConnectEndsAtItsDeadlineOrAtAShutdown) {
  fake::TUnansweredListener silent;
  ASSERT_NE(silent.Port(), 0);
  TTcpSocket timed;
  ASSERT_OK(timed.Create());
  TStatus timedOut = TTcpSocket::Connect(timed.Get(), Loopback(), silent.Port(), 300);
  EXPECT_TRUE(TTcpSocket::TimedOut(timedOut));
  EXPECT_EQ(timedOut.Context(), "connect");

  TTcpSocket cancelled;
  ASSERT_OK(cancelled.Create());
  auto connecting = std::async(std::launch::async, [&] {
    return TTcpSocket::Connect(cancelled.Get(), Loopback(), silent.Port(), kInfiniteWait);
  });
  EXPECT_EQ(connecting.wait_for(300ms), std::future_status::timeout) << "the connect waits for an answer";
  ASSERT_OK(TTcpSocket::Shutdown(cancelled.Get()));
  ASSERT_EQ(connecting.wait_for(10s), std::future_status::ready);
  TStatus ended = connecting.get();
  EXPECT_FALSE(ended.Ok());
  EXPECT_FALSE(TTcpSocket::TimedOut(ended));
  EXPECT_EQ(ended.Context(), "connect");
}
