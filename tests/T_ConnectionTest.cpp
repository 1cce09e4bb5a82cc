// SPDX-License-Identifier: Apache-2.0
// TConnection and TListener over loopback: reads and writes against their
// deadlines, the ways a connection ends, the failure texts of opening and
// listening, and the listener's threads.
#include "Common/T_Connection.h"
#include "Common/T_Listener.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <csignal>
#include <future>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "FakePeers.h"
#include "TestSupport.h"

using namespace std::chrono_literals;

namespace {

const char kCancelled[] = "Windows socket error: Operation canceled (125), on API 'connect'";
const char kNotAddress[] = "Windows socket error: Cannot assign requested address (99), on API 'bind'";

// One read of up to `count` bytes within `timeoutMs`; what came in `got`.
TStatus ReadSome(TConnection& connection, size_t count, int timeoutMs, std::string& got) {
  got.assign(count, '\0');
  size_t received = 0;
  TStatus status = connection.Read(got.data(), count, TDeadline(timeoutMs), received);
  got.resize(received);
  return status;
}

// Whether the peer has ended the connection: a read answers no bytes.
bool EndedByPeer(TConnection& connection) {
  std::string got;
  return ReadSome(connection, 4, 20000, got).Ok() && got.empty();
}

TStatus WriteText(TConnection& connection, const std::string& text, int timeoutMs) {
  const TTcpSocket::TPiece piece{text.data(), text.size()};
  return connection.Write(&piece, 1, TDeadline(timeoutMs));
}

std::string Bytes(size_t count, char first) {
  std::string bytes(count, '\0');
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(first + i);
  return bytes;
}

std::set<int> OpenDescriptors() {
  std::set<int> result;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return result;
  const int own = ::dirfd(dir);
  while (struct dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = std::stoi(entry->d_name);
    if (fd != own) result.insert(fd);
  }
  ::closedir(dir);
  return result;
}

// The threads of this process that have not ended.
int LiveThreads() {
  const std::string status = ReadTextFile("/proc/self/status");
  const size_t at = status.find("\nThreads:");
  return at == std::string::npos ? -1 : std::atoi(status.c_str() + at + 9);
}

// The threads before a test makes its own: a thread is made and joined
// first, since ThreadSanitizer starts a helper thread of its own with the
// process's first one.
int ThreadsBefore() {
  std::thread([] {}).join();
  return LiveThreads();
}

// A listener on 127.0.0.1 and a free port whose serve functions run
// `Handler`, counted while they run, and clients of it.
class ConnectionTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Finish.Set();
    Server.Stop();
    EXPECT_EQ(Serving.load(), 0);
  }

  void Start(const std::string& address = "127.0.0.1", TListener::TAdmit admit = nullptr) {
    ASSERT_OK(Server.Start(address, 0, std::move(admit), [this](TConnection& connection) {
      ++Served;
      ++Serving;
      struct TLeave {
        std::atomic<int>& Count;
        ~TLeave() { --Count; }
      } leave{Serving};
      if (Handler) Handler(connection);
    }));
    ASSERT_NE(Server.Port(), 0);
  }

  // Lets every serve function end, and waits until it has: a test whose
  // Handler uses the test's own locals calls it before they go. (That the
  // client saw the connection close is no such wait for ThreadSanitizer,
  // which does not see through the socket.)
  void AwaitHandlers() {
    Finish.Set();
    EXPECT_TRUE(WaitUntil([&] { return Serving.load() == 0; }));
  }

  std::unique_ptr<TConnection> Connect(const std::string& localAddress = "") {
    auto client = std::make_unique<TConnection>();
    EXPECT_OK(client->Open(Names(), "127.0.0.1", Server.Port(), localAddress));
    return client;
  }

  // What Open answers when `end` is called while it waits for a peer that
  // never answers.
  std::string OpenEndedBy(TConnection& connection, const std::function<void()>& end) {
    fake::TUnansweredListener silent;
    if (silent.Port() == 0) return "no port that never answers";
    auto opening = std::async(std::launch::async, [&] { return connection.Open(Names(), "127.0.0.1", silent.Port()); });
    EXPECT_EQ(opening.wait_for(300ms), std::future_status::timeout) << "the connect waits for an answer";
    end();
    EXPECT_EQ(opening.wait_for(10s), std::future_status::ready) << "well before the 20 s bound";
    return opening.get().Text();
  }

  // Serve functions wait for the end of the test.
  void Idle() {
    Handler = [this](TConnection&) { Finish.Wait(20000); };
  }

  TFakeNameResolver& Names() { return Platform.Names; }

  TTestPlatform Platform;
  std::function<void(TConnection&)> Handler;
  TEvent Finish{true, false};
  std::atomic<int> Serving{0};  // serve functions running
  std::atomic<int> Served{0};   // serve functions begun
  TListener Server{Platform.System, Platform.Debug, "Connection thread"};
};

}  // namespace

// A read takes what is waiting, from what an earlier read received ahead or
// straight from the socket, and waits only when nothing is. LastProgress
// moves with the bytes.
TEST_F(ConnectionTest, AReadAnswersWhatIsWaitingOrFailsAtItsDeadline) {
  TEvent sendFirst(true, false);
  TEvent sendSecond(true, false);
  Handler = [&](TConnection& connection) {
    if (sendFirst.Wait(20000)) {
      EXPECT_OK(WriteText(connection, Bytes(100, 0), 5000));
    }
    if (sendSecond.Wait(20000)) {
      EXPECT_OK(WriteText(connection, Bytes(100, 100), 5000));
    }
    Finish.Wait(20000);
  };
  Start();
  const auto beforeOpen = std::chrono::steady_clock::now();
  auto client = Connect();
  const auto opened = client->LastProgress();
  EXPECT_GE(opened, beforeOpen);
  std::string got = "untouched";
  TStatus idle = ReadSome(*client, 32768, 200, got);
  EXPECT_GE(ElapsedMs(beforeOpen), 190);
  EXPECT_EQ(idle.Code(), ETIMEDOUT);
  EXPECT_EQ(idle.Text(), "Read error 110, Connection timed out");
  EXPECT_EQ(got, "");
  EXPECT_TRUE(client->Connected());
  EXPECT_EQ(client->LastProgress(), opened) << "no bytes moved";

  sendFirst.Set();
  ASSERT_OK(ReadSome(*client, 10, 5000, got));
  EXPECT_EQ(got, Bytes(10, 0));
  EXPECT_GT(client->LastProgress(), opened);
  ASSERT_OK(ReadSome(*client, 32768, 5000, got));
  EXPECT_EQ(got, Bytes(90, 10)) << "the rest of what was received ahead";

  sendSecond.Set();
  ASSERT_OK(ReadSome(*client, 32768, 5000, got));
  EXPECT_EQ(got, Bytes(100, 100));
  AwaitHandlers();
}

// A connection that waits for its peer's next frame without a bound on
// the wait, and bounds the frame once it has begun: WaitForBytes times out
// while nothing comes, leaves what came for the next read, and answers
// once the peer has closed.
TEST_F(ConnectionTest, WaitForBytesTimesOutWhileSilentAndLeavesWhatCameForTheRead) {
  TEvent send(true, false);
  TEvent close(true, false);
  Handler = [&](TConnection& connection) {
    if (send.Wait(20000)) {
      EXPECT_OK(WriteText(connection, Bytes(50, 0), 5000));
    }
    close.Wait(20000);
  };
  Start();
  auto client = Connect();
  const TStatus silent = client->WaitForBytes(TDeadline(200));
  EXPECT_EQ(silent.Code(), ETIMEDOUT);
  EXPECT_EQ(silent.Text(), "Read error 110, Connection timed out");

  send.Set();
  ASSERT_OK(client->WaitForBytes(TDeadline(5000)));
  ASSERT_OK(client->WaitForBytes(TDeadline(0))) << "the bytes are still there";
  std::string got;
  ASSERT_OK(ReadSome(*client, 100, 0, got));
  EXPECT_EQ(got, Bytes(50, 0));

  close.Set();
  ASSERT_OK(client->WaitForBytes(TDeadline(5000)));
  EXPECT_TRUE(EndedByPeer(*client));
  client->Shutdown();
  EXPECT_EQ(client->WaitForBytes(TDeadline(0)).Code(), ENOTCONN);
  AwaitHandlers();
}

TEST_F(ConnectionTest, AWriteSendsEveryPieceInOrderAndTimesOutWhenThePeerDoesNotRead) {
  std::promise<std::string> received;
  Handler = [&](TConnection& connection) {
    std::string all;
    std::string got;
    while (all.size() < 9 && ReadSome(connection, 64, 5000, got).Ok() && !got.empty()) all += got;
    received.set_value(all);
    Finish.Wait(20000);  // and reads no more
  };
  Start();
  auto client = Connect();
  const auto opened = client->LastProgress();
  const TTcpSocket::TPiece pieces[] = {{"\x05\0\0\0", 4}, {"", 0}, {"hello", 5}};
  ASSERT_OK(client->Write(pieces, 3, TDeadline(5000)));
  EXPECT_GT(client->LastProgress(), opened);
  auto result = received.get_future();
  ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(result.get(), std::string("\x05\0\0\0hello", 9));

  const std::string block(1 << 20, 'x');
  TStatus written;
  for (int attempt = 0; attempt < 200 && written; ++attempt) written = WriteText(*client, block, 300);
  EXPECT_EQ(written.Text(), "Stream write error");
  EXPECT_TRUE(TTcpSocket::TimedOut(written));
  AwaitHandlers();
}

// The peer closing is no failure: a read answers no bytes at once, the
// connection stays open until closed here, and a write then fails without
// the signal that would end the process.
TEST_F(ConnectionTest, WhenThePeerClosesAReadAnswersNothingAndAWriteFails) {
  std::signal(SIGPIPE, SIG_DFL);
  Start();  // the serve function returns at once: the listener closes
  auto client = Connect();
  EXPECT_TRUE(EndedByPeer(*client)) << "well before the read's 20 s";
  EXPECT_TRUE(client->Connected());

  const std::string block(65536, 'x');
  TStatus written;
  for (int attempt = 0; attempt < 100 && written; ++attempt) {
    written = WriteText(*client, block, 2000);
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(written.Text() == "Write error 32, Broken pipe" ||
              written.Text() == "Write error 104, Connection reset by peer")
      << written.Text();
}

TEST_F(ConnectionTest, ShutdownFromAnotherThreadEndsABlockedReadAndABlockedConnectAtOnce) {
  Idle();
  Start();
  auto client = Connect();
  auto reading = std::async(std::launch::async, [&] {
    std::string got = "untouched";
    TStatus status = ReadSome(*client, 16, kInfiniteWait, got);
    return std::make_pair(status, got);
  });
  EXPECT_EQ(reading.wait_for(200ms), std::future_status::timeout) << "the read waits for data";
  client->Shutdown();
  ASSERT_EQ(reading.wait_for(10s), std::future_status::ready);
  auto [status, got] = reading.get();
  // Shut down while waiting: no bytes (a read that had not begun yet fails).
  EXPECT_TRUE((status.Ok() && got.empty()) || status.Code() == ENOTCONN) << status.Text();
  EXPECT_FALSE(client->Connected());

  TConnection opening;
  EXPECT_EQ(OpenEndedBy(opening, [&] { opening.Shutdown(); }), kCancelled);
  EXPECT_FALSE(opening.Connected());
}

// The status thread's stop and a session's end cancel a connect to a peer
// that does not answer; the cancel holds for every later connect.
TEST_F(ConnectionTest, CancelOpenEndsAConnectInProgressAndEveryLaterOneButNoOpenConnection) {
  TConnection client;
  EXPECT_EQ(OpenEndedBy(client, [&] { client.CancelOpen(); }), kCancelled);
  EXPECT_FALSE(client.Connected());

  Idle();
  Start();
  EXPECT_EQ(client.Open(Names(), "127.0.0.1", Server.Port()).Text(), kCancelled);
  client.Close();
  EXPECT_EQ(client.Open(Names(), "127.0.0.1", Server.Port()).Text(), kCancelled) << "closing does not undo it";
  EXPECT_FALSE(client.Connected());

  auto open = Connect();
  open->CancelOpen();
  EXPECT_TRUE(open->Connected());
  EXPECT_OK(WriteText(*open, "x", 1000));
}

TEST_F(ConnectionTest, ReadingAndWritingFailOnceTheConnectionIsShutDownOrClosed) {
  Idle();
  Start();
  auto shutDown = Connect();
  shutDown->Shutdown();
  auto closed = Connect();
  closed->Close();
  closed->Close();  // closing a closed connection does nothing
  TConnection neverOpened;
  for (TConnection* connection : {shutDown.get(), closed.get(), &neverOpened}) {
    std::string got;
    TStatus read = ReadSome(*connection, 4, 1000, got);
    EXPECT_EQ(read.Code(), ENOTCONN);
    EXPECT_EQ(read.Text(), "Read error 107, Transport endpoint is not connected");
    TStatus written = WriteText(*connection, "abcd", 1000);
    EXPECT_EQ(written.Code(), ENOTCONN);
    EXPECT_EQ(written.Text(), "Write error 107, Transport endpoint is not connected");
    EXPECT_FALSE(connection->Connected());
  }
  EXPECT_EQ(closed->PeerAddress(), "");
}

// A failed open says which call failed and why, and leaves the connection
// closed, so that the same one opens afterwards.
TEST_F(ConnectionTest, OpenFailuresReadAsTheConnectCallAndLeaveTheConnectionClosed) {
  // On every local address: a name that does not resolve must not become
  // 0.0.0.0, which would reach this listener.
  Idle();
  Start("");
  TConnection client;
  EXPECT_EQ(client.Open(Names(), "no-such-host.invalid", Server.Port()).Text(),
            "Windows socket error: No route to host (113), on API 'connect'");
  EXPECT_EQ(Names().LookUps.load(), 1);
  EXPECT_EQ(client.Open(Names(), "", Server.Port()).Text(), "No address specified");

  TTcpSocket bound;  // bound but not listening: connections are refused
  ASSERT_OK(bound.Create());
  ASSERT_OK(bound.Bind(htonl(INADDR_LOOPBACK), 0));
  uint16_t refusing = 0;
  ASSERT_OK(bound.LocalPort(refusing));
  EXPECT_EQ(client.Open(Names(), "127.0.0.1", refusing).Text(),
            "Windows socket error: Connection refused (111), on API 'connect'");

  fake::TUnansweredListener silent;
  ASSERT_NE(silent.Port(), 0);
  const auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Open(Names(), "127.0.0.1", silent.Port(), "", 300).Text(),
            "Windows socket error: Connection timed out (110), on API 'connect'");
  EXPECT_GE(ElapsedMs(began), 290);

  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(client.PeerAddress(), "");
  EXPECT_EQ(Server.ConnectionCount(), 0);
  Names().Hosts["lobby.example"] = "127.0.0.1";
  ASSERT_OK(client.Open(Names(), "lobby.example", Server.Port()));
  EXPECT_EQ(client.PeerAddress(), "127.0.0.1");
  EXPECT_EQ(client.Open(Names(), "127.0.0.1", Server.Port()).Text(), "Socket already open");
  EXPECT_TRUE(client.Connected());
}

// A client given a local address leaves from it; one the machine does not
// have fails with the bind text. The accepted side sees where it came from.
TEST_F(ConnectionTest, AClientLeavesFromItsLocalAddressAndTheAcceptedConnectionKnowsIt) {
  std::mutex peersLock;
  std::multiset<std::string> peers;
  Handler = [&](TConnection& connection) {
    {
      std::lock_guard<std::mutex> guard(peersLock);
      peers.insert(connection.PeerAddress());
    }
    Finish.Wait(20000);
  };
  Start();
  TConnection client;
  for (const char* notLocal : {"192.0.2.1", "localhost"}) {
    TStatus refused = client.Open(Names(), "127.0.0.1", Server.Port(), notLocal);
    EXPECT_EQ(refused.Text(), kNotAddress) << notLocal;
    EXPECT_EQ(refused.Code(), EADDRNOTAVAIL) << notLocal;
    EXPECT_FALSE(client.Connected());
  }
  ASSERT_OK(client.Open(Names(), "127.0.0.1", Server.Port(), "127.0.0.3"));
  auto plain = Connect();
  ASSERT_TRUE(WaitUntil([&] { return Serving.load() == 2; }));
  std::lock_guard<std::mutex> guard(peersLock);
  EXPECT_EQ(peers, (std::multiset<std::string>{"127.0.0.1", "127.0.0.3"}));
}

TEST_F(ConnectionTest, AListenerRefusesWhatItCannotBindAndStartsOnce) {
  Idle();
  Start();
  TListener second(Platform.System, Platform.Debug, "Second");
  EXPECT_EQ(second.Start("127.0.0.1", Server.Port(), nullptr, nullptr).Text(),
            "Windows socket error: Address already in use (98), on API 'bind'");
  // Documentation range (never local), no address, and IPv6.
  for (const char* address : {"192.0.2.1", "not-an-address", "::1"}) {
    TStatus refused = second.Start(address, 0, nullptr, nullptr);
    EXPECT_EQ(refused.Text(), kNotAddress) << address;
    EXPECT_EQ(refused.Code(), EADDRNOTAVAIL) << address;
  }
  EXPECT_EQ(second.Port(), 0);
  EXPECT_EQ(Server.Start("127.0.0.1", 0, nullptr, nullptr).Text(), "Can't listen on an open socket");
  EXPECT_TRUE(Connect()->Connected()) << "the first goes on listening";
}

// Without an accept thread nothing would ever be accepted: the port is
// given back, so that connecting is refused rather than left waiting.
TEST_F(ConnectionTest, AListenerWhoseAcceptThreadCannotBeMadeFailsAndGivesItsPortBack) {
  TTcpSocket probe;  // a port that was free just now
  ASSERT_OK(probe.Create());
  ASSERT_OK(probe.Bind(htonl(INADDR_LOOPBACK), 0));
  uint16_t port = 0;
  ASSERT_OK(probe.LocalPort(port));
  ASSERT_OK(probe.Close());
  Platform.System.RefuseThreads("Accept thread");
  TStatus started = Server.Start("127.0.0.1", port, nullptr, nullptr);
  EXPECT_EQ(started.Text(), "accept thread cannot be made: Resource temporarily unavailable");
  EXPECT_EQ(Server.Port(), 0);
  TConnection client;
  EXPECT_EQ(client.Open(Names(), "127.0.0.1", port, "", 5000).Text(),
            "Windows socket error: Connection refused (111), on API 'connect'");
}

TEST_F(ConnectionTest, AListenerRestartsOnItsPortWhileConnectionsAreInTimeWait) {
  // The listener's side closes first (the serve function returns at once),
  // so its end is left in TIME_WAIT on the listener's port; only
  // SO_REUSEADDR lets a new listener bind that port now.
  Start();
  const uint16_t port = Server.Port();
  EXPECT_TRUE(EndedByPeer(*Connect()));
  Server.Stop();
  TListener again(Platform.System, Platform.Debug, "Again");
  ASSERT_OK(again.Start("127.0.0.1", port, nullptr, [](TConnection&) {}));
  EXPECT_EQ(again.Port(), port);
}

TEST_F(ConnectionTest, StopEndsABlockedAcceptAndABlockedReadAndJoinsEveryThread) {
  const int threadsBefore = ThreadsBefore();
  {
    TListener idle(Platform.System, Platform.Debug, "Idle");
    ASSERT_OK(idle.Start("127.0.0.1", 0, nullptr, [](TConnection&) {}));
    std::this_thread::sleep_for(100ms);  // into the accept
    RunBounded([&] { idle.Stop(); }, 10s, "Stop with only an accept");
    EXPECT_EQ(idle.Port(), 0);
    EXPECT_EQ(LiveThreads(), threadsBefore);
    idle.Stop();  // not listening: nothing
  }

  TEvent reading(true, false);
  std::atomic<bool> endedEmpty{false};
  Handler = [&](TConnection& connection) {
    reading.Set();
    std::string got = "untouched";
    (void)ReadSome(connection, 16, kInfiniteWait, got);  // fails when shut down before it began
    endedEmpty = got.empty();
  };
  Start();
  auto client = Connect();
  ASSERT_TRUE(reading.Wait(5000));
  std::this_thread::sleep_for(100ms);  // into the read
  EXPECT_EQ(Server.ConnectionCount(), 1);
  RunBounded([&] { Server.Stop(); }, 10s, "Stop with a connection");
  EXPECT_EQ(LiveThreads(), threadsBefore);
  EXPECT_EQ(Serving.load(), 0);
  EXPECT_EQ(Server.ConnectionCount(), 0);
  EXPECT_EQ(Server.Port(), 0);
  EXPECT_TRUE(endedEmpty.load());
  EXPECT_TRUE(EndedByPeer(*client));
}

// Each connection has a thread of its own while it is served, no more.
TEST_F(ConnectionTest, ConnectionThreadsEqualOpenConnectionsAndFallBackWhenTheyClose) {
  Handler = [](TConnection& connection) {
    std::string got;
    while (ReadSome(connection, 16, kInfiniteWait, got).Ok() && !got.empty()) {
    }
  };
  const int threadsBefore = ThreadsBefore();
  Start();
  std::vector<std::unique_ptr<TConnection>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(Connect());
  auto servedAre = [&](int count) {
    return WaitUntil([&] {
      return Server.ConnectionCount() == count && Serving.load() == count &&
             LiveThreads() == threadsBefore + 1 + count;  // and the accept thread
    });
  };
  EXPECT_TRUE(servedAre(3));
  clients[1]->Close();
  EXPECT_TRUE(servedAre(2));
  clients[0]->Close();
  clients[2]->Close();
  EXPECT_TRUE(servedAre(0));
  EXPECT_EQ(Served.load(), 3);
}

TEST_F(ConnectionTest, AdmitSeesTheAddressAndTheCountAndARefusedConnectionIsClosedUnserved) {
  std::mutex askedLock;
  std::vector<std::pair<std::string, int>> asked;
  auto admit = [&](uint32_t address, int served) {
    std::lock_guard<std::mutex> guard(askedLock);
    asked.emplace_back(TTcpSocket::AddressText(address), served);
    return served < 1;
  };
  Idle();
  Start("127.0.0.1", admit);
  auto first = Connect();
  ASSERT_TRUE(WaitUntil([&] { return Serving.load() == 1; }));
  auto second = Connect("127.0.0.2");
  EXPECT_TRUE(EndedByPeer(*second)) << "closed by the listener";
  EXPECT_EQ(Served.load(), 1);
  EXPECT_EQ(Server.ConnectionCount(), 1);
  std::lock_guard<std::mutex> guard(askedLock);
  EXPECT_EQ(asked, (std::vector<std::pair<std::string, int>>{{"127.0.0.1", 0}, {"127.0.0.2", 1}}));
}

TEST_F(ConnectionTest, EveryDescriptorIsCloseOnExecAndEveryConnectionHasNoDelay) {
  Idle();
  const std::set<int> before = OpenDescriptors();
  Start();
  auto client = Connect();
  ASSERT_TRUE(WaitUntil([&] { return Server.ConnectionCount() == 1; }));
  int sockets = 0;
  int connections = 0;
  for (int fd : OpenDescriptors()) {
    if (before.count(fd) != 0) continue;
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags == -1) continue;  // closed meanwhile
    EXPECT_NE(flags & FD_CLOEXEC, 0) << "descriptor " << fd;
    int type = 0;
    socklen_t size = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM) continue;
    ++sockets;
    struct sockaddr_in peer {};
    socklen_t peerSize = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &peerSize) != 0) continue;
    ++connections;
    int noDelay = 0;
    size = sizeof noDelay;
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
    EXPECT_NE(noDelay, 0) << "descriptor " << fd;
  }
  EXPECT_EQ(sockets, 3);  // listener, client, accepted
  EXPECT_EQ(connections, 2);
}

// Neither an error escaping a serve function nor a thread the system
// refuses stops the listener: the connection is closed, the failure written
// down, and the next connection accepted.
TEST_F(ConnectionTest, AConnectionWhoseThreadFailsOrCannotBeMadeIsClosedAndTheListenerGoesOn) {
  Handler = [](TConnection&) { throw std::runtime_error("serve failed"); };
  Start();
  EXPECT_TRUE(EndedByPeer(*Connect()));
  EXPECT_TRUE(EndedByPeer(*Connect()));
  EXPECT_EQ(Served.load(), 2);
  ASSERT_TRUE(WaitUntil([&] { return Platform.Debug.Taken().size() == 2; }));  // written as the thread ends

  Platform.System.RefuseThreads("Connection thread");
  EXPECT_TRUE(EndedByPeer(*Connect()));
  EXPECT_TRUE(EndedByPeer(*Connect()));
  EXPECT_EQ(Platform.System.RefusedThreads(), 2);
  EXPECT_EQ(Served.load(), 2);
  ASSERT_TRUE(WaitUntil([&] { return Server.ConnectionCount() == 0; }));
  EXPECT_EQ(Platform.Debug.Taken(), (std::vector<std::string>{"Unhandled error in Connection thread: serve failed",
                                                              "Unhandled error in Connection thread: serve failed",
                                                              "Connection thread: Resource temporarily unavailable",
                                                              "Connection thread: Resource temporarily unavailable"}));
}
