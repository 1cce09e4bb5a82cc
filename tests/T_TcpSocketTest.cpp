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
#include "TestSupport.h"

using namespace std::chrono_literals;

namespace {

uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

// A listening socket on 127.0.0.1 and a free port.
TTcpSocket MakeListener(uint16_t& port) {
  TTcpSocket listener;
  EXPECT_EQ(listener.Create(), 0);
  EXPECT_EQ(listener.Bind(Loopback(), 0), 0);
  EXPECT_EQ(listener.Listen(), 0);
  EXPECT_EQ(listener.LocalPort(port), 0);
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
  ASSERT_EQ(client.Create(), 0);
  EXPECT_TRUE(CloseOnExec(client.Get()));
  ASSERT_EQ(TTcpSocket::Connect(client.Get(), Loopback(), port, 10000), 0);
  EXPECT_NE(IntOption(client.Get(), IPPROTO_TCP, TCP_NODELAY), 0);
  EXPECT_EQ(::fcntl(client.Get(), F_GETFL) & O_NONBLOCK, 0) << "blocking again after the connect";

  TTcpSocket accepted;
  uint32_t address = 0;
  uint16_t remotePort = 0;
  ASSERT_EQ(TTcpSocket::Accept(listener.Get(), accepted, address, remotePort), 0);
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
    ASSERT_EQ(client.Create(), 0);
    // A connect that is not answered gives up after 1 s.
    EXPECT_EQ(TTcpSocket::Connect(client.Get(), Loopback(), port, 1000), 0);
  }
}

TEST(TTcpSocket, BindingAPortInUseFails) {
  uint16_t port = 0;
  TTcpSocket listener = MakeListener(port);
  TTcpSocket second;
  ASSERT_EQ(second.Create(), 0);
  EXPECT_EQ(second.Bind(Loopback(), port), EADDRINUSE);
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
  EXPECT_EQ(TTcpSocket::Shutdown(listener.Get()), 0);
  ASSERT_EQ(accepting.wait_for(5s), std::future_status::ready);
  EXPECT_NE(accepting.get(), 0);
}

TEST(TTcpSocket, ReceiveTimesOutAndSendGathersTwoPieces) {
  uint16_t port = 0;
  TTcpSocket listener = MakeListener(port);
  TTcpSocket client;
  ASSERT_EQ(client.Create(), 0);
  ASSERT_EQ(TTcpSocket::Connect(client.Get(), Loopback(), port, 10000), 0);
  TTcpSocket accepted;
  uint32_t address = 0;
  uint16_t remotePort = 0;
  ASSERT_EQ(TTcpSocket::Accept(listener.Get(), accepted, address, remotePort), 0);

  char buffer[64] = {};
  size_t received = 99;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(TTcpSocket::Receive(accepted.Get(), buffer, sizeof buffer, 200, received), TTcpSocket::kTimedOut);
  EXPECT_GE(ElapsedMs(start), 180);
  EXPECT_EQ(received, 0u);

  ASSERT_EQ(TTcpSocket::Send(client.Get(), "\x05\0\0\0", 4, "hello", 5, 1000), 0);
  std::string got;
  while (got.size() < 9) {
    ASSERT_EQ(TTcpSocket::Receive(accepted.Get(), buffer, sizeof buffer, 5000, received), 0);
    ASSERT_GT(received, 0u);
    got.append(buffer, received);
  }
  EXPECT_EQ(got, std::string("\x05\0\0\0hello", 9));

  ASSERT_EQ(TTcpSocket::Shutdown(client.Get()), 0);
  EXPECT_EQ(TTcpSocket::Receive(accepted.Get(), buffer, sizeof buffer, 5000, received), 0);
  EXPECT_EQ(received, 0u);
}

// The in-memory connection the tests and fuzz targets feed the agent through.
TEST(TTcpSocket, APairIsAConnectionBothWaysAndShutdownSendEndsOneDirection) {
  TTcpSocket first;
  TTcpSocket second;
  ASSERT_EQ(TTcpSocket::Pair(first, second), 0);
  EXPECT_TRUE(CloseOnExec(first.Get()));
  EXPECT_TRUE(CloseOnExec(second.Get()));

  ASSERT_EQ(TTcpSocket::Send(first.Get(), "ab", 2, "c", 1, 1000), 0);
  ASSERT_EQ(TTcpSocket::ShutdownSend(first.Get()), 0);
  char buffer[8] = {};
  size_t received = 0;
  std::string got;
  for (;;) {
    ASSERT_EQ(TTcpSocket::Receive(second.Get(), buffer, sizeof buffer, 5000, received), 0);
    if (received == 0) break;  // the end of what `first` sends
    got.append(buffer, received);
  }
  EXPECT_EQ(got, "abc");

  // The other direction stays open.
  ASSERT_EQ(TTcpSocket::Send(second.Get(), "back", 4, nullptr, 0, 1000), 0);
  ASSERT_EQ(TTcpSocket::Receive(first.Get(), buffer, sizeof buffer, 5000, received), 0);
  EXPECT_EQ(std::string(buffer, received), "back");
}

// Nobody answers: the listener's queue is full, so the kernel drops the SYNs
// and would retry them for about two minutes. The connect ends at its
// deadline, or at once when another thread shuts the socket down.
TEST(TTcpSocket, AnUnansweredConnectEndsAtItsDeadlineOrAtAShutdown) {
  fake::TUnansweredListener silent;
  ASSERT_NE(silent.Port(), 0);
  TTcpSocket timed;
  ASSERT_EQ(timed.Create(), 0);
  EXPECT_EQ(TTcpSocket::Connect(timed.Get(), Loopback(), silent.Port(), 300), TTcpSocket::kTimedOut);

  TTcpSocket cancelled;
  ASSERT_EQ(cancelled.Create(), 0);
  auto connecting = std::async(std::launch::async, [&] {
    return TTcpSocket::Connect(cancelled.Get(), Loopback(), silent.Port(), kInfiniteWait);
  });
  EXPECT_EQ(connecting.wait_for(300ms), std::future_status::timeout) << "the connect waits for an answer";
  ASSERT_EQ(TTcpSocket::Shutdown(cancelled.Get()), 0);
  ASSERT_EQ(connecting.wait_for(10s), std::future_status::ready);
  EXPECT_NE(connecting.get(), 0);
}
