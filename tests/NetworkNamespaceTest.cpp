// SPDX-License-Identifier: Apache-2.0
// Discovery: agents that search for their coordinator, and so broadcast.
// This executable runs only inside a private network namespace holding
// nothing but the loopback interface (tests/run-in-netns.sh makes it); it
// refuses to run anywhere else.
#include <gtest/gtest.h>

#include <cstdlib>

#include "AgentOptions.h"
#include "Agent/T_Agent.h"
#include "Agent/T_AgentStatusThread.h"
#include "Agent/T_MainThreadQueue.h"
#include "FakePeers.h"
#include "Platform/T_UdpSocket.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;

// Receives datagrams on 0.0.0.0:<port>, as a coordinator hearing pings.
class TPingCatcher {
 public:
  TPingCatcher() {
    if (TStatus bound = Socket.Bind(0); !bound) throw std::runtime_error(bound.Text());
    Thread = std::thread([this] {
      char buffer[64];
      std::string sender;
      for (;;) {
        int length = Socket.Receive(buffer, sizeof buffer, sender);
        if (length < 0) return;
        std::lock_guard<std::mutex> guard(Mutex);
        Pings.push_back({std::string(buffer, static_cast<size_t>(length)), std::chrono::steady_clock::now()});
      }
    });
  }
  ~TPingCatcher() {
    Socket.Shutdown();
    Thread.join();
  }
  uint16_t Port() const { return Socket.LocalPort(); }
  std::vector<fake::TFramedServer::TReceived> Received() {
    std::lock_guard<std::mutex> guard(Mutex);
    return Pings;
  }

 private:
  TUdpSocket Socket;
  std::mutex Mutex;
  std::vector<fake::TFramedServer::TReceived> Pings;
  std::thread Thread;
};

struct DiscoveryTest : ::testing::Test {
  TTempDir Dir;
  TTestPlatform Platform;
  TMainThreadQueue MainThread;
  TPingCatcher Catcher;
  fake::TFramedServer Coordinator;

  std::unique_ptr<TAgent> Start(const std::string& settings, IFileSystem* files = nullptr) {
    Platform.System.DataFolder = Dir / "data";
    WriteTextFile(Dir / "kelvra.INI", settings);
    TPlatform platform = Platform.Get();
    if (files != nullptr) platform.Files = files;
    return std::make_unique<TAgent>(platform, Dir / "kelvra.INI", MainThread, TestAgentOptions());
  }
  std::string Ports() {
    return "bind_port=" + std::to_string(Coordinator.Port()) + "\nbroadcast_port=" + std::to_string(Catcher.Port()) +
           "\n";
  }
  // Serves the main thread's hand-overs while waiting, as the runner does.
  bool Serve(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    return ServeMainThreadUntil(MainThread, condition, timeout);
  }
};

}  // namespace

TEST_F(DiscoveryTest, ASearchingAgentPingsAboutEveryFiveSeconds) {
  auto agent = Start("[agent]\nsuspend_timeout=0\nbind_port=0\nbroadcast_port=0\n[coordinator]\n" + Ports());
  ASSERT_TRUE(Serve([&] { return Catcher.Received().size() >= 2; }, 20s));
  auto pings = Catcher.Received();
  EXPECT_EQ(pings[0].Text, "\x01");
  EXPECT_EQ(pings[1].Text, "\x01");
  auto gap = pings[1].At - pings[0].At;
  EXPECT_GT(gap, 4s);
  EXPECT_LT(gap, 9s);
  EXPECT_EQ(agent->GetStatusText(), "Unassigned, searching for coordinator...");
  EXPECT_EQ(Coordinator.Connections(), 0);
}

TEST_F(DiscoveryTest, ABroadcastMakesItsSenderTheCoordinator) {
  const std::string settings = "; hand-written\n[agent]\nsuspend_timeout=0\nbind_port=0\nbroadcast_port=0\n\n"
                               "[coordinator]\n" + Ports() + "allowDiscardCoordinatorIp=1\n[user]\ndata_port=1\n";
  auto agent = Start(settings);
  ASSERT_TRUE(Serve([&] { return !Catcher.Received().empty(); }, 10s)) << "the agent never searched";
  ASSERT_OK(TUdpSocket::SendTo("127.0.0.1", agent->StatusThread()->BroadcastPort(), "\x01", 1));
  ASSERT_TRUE(Serve([&] { return !Coordinator.WaitFor(1, 0).empty(); }, 10s)) << "no report after the broadcast";
  EXPECT_EQ(agent->Config().GetCoordinatorIp(), "127.0.0.1");
  std::string expected = settings;
  expected.replace(expected.find("allowDiscardCoordinatorIp=1\n"), 28,
                   "allowDiscardCoordinatorIp=1\ncoordinator_ip=127.0.0.1\n");
  EXPECT_EQ(ReadTextFile(Dir / "kelvra.INI"), expected);
}

TEST_F(DiscoveryTest, ABroadcastWhoseSenderCannotBeSavedIsLoggedWithTheReasonAndStillUsed) {
  const std::string settings = "[agent]\nsuspend_timeout=0\nbind_port=0\nbroadcast_port=0\nenableDebugOutput=1\n"
                               "[coordinator]\n" + Ports() + "allowDiscardCoordinatorIp=1\n[user]\ndata_port=1\n";
  TReadOnlyFiles files;
  auto agent = Start(settings, &files);
  ASSERT_TRUE(Serve([&] { return !Catcher.Received().empty(); }, 10s)) << "the agent never searched";
  ASSERT_OK(TUdpSocket::SendTo("127.0.0.1", agent->StatusThread()->BroadcastPort(), "\x01", 1));
  const std::string line = "AGENT: Unable to write to " + (Dir / "kelvra.INI") + ": Read-only file system\r";
  auto logged = [&] {
    for (const std::string& taken : Platform.Debug.Taken())
      if (taken == line) return true;
    return false;
  };
  ASSERT_TRUE(Serve(logged, 10s)) << testing::PrintToString(Platform.Debug.Taken());
  // The address is kept in memory: the next pass connects to it.
  ASSERT_TRUE(Serve([&] { return !Coordinator.WaitFor(1, 0).empty(); }, 15s)) << "no report after the broadcast";
  EXPECT_EQ(ReadTextFile(Dir / "kelvra.INI"), settings);
}

TEST_F(DiscoveryTest, ALostCoordinatorIsRetriedOnceThenForgotten) {
  const std::string settings = "[agent]\nsuspend_timeout=0\nbind_port=0\nbroadcast_port=0\n[coordinator]\n" +
                               Ports() + "coordinator_ip=127.0.0.1\n";
  auto agent = Start(settings);
  ASSERT_TRUE(Serve([&] { return !Coordinator.WaitFor(1, 0).empty(); }, 10s));
  Coordinator.StopListening();
  Coordinator.DropConnection();
  ASSERT_TRUE(Serve([&] { return agent->Config().GetCoordinatorIp().empty(); }, 20s));
  ASSERT_TRUE(Serve([&] { return !Catcher.Received().empty(); }, 10s)) << "searching again means pinging";
  EXPECT_EQ(ReadTextFile(Dir / "kelvra.INI"), settings) << "forgetting is not written back";
}

TEST_F(DiscoveryTest, AKeptAddressNeverPings) {
  Coordinator.StopListening();
  auto agent = Start("[agent]\nsuspend_timeout=0\nbind_port=0\nbroadcast_port=0\n[coordinator]\n" + Ports() +
                     "coordinator_ip=127.0.0.1\nallowDiscardCoordinatorIp=0\n");
  Serve([] { return false; }, 7s);
  EXPECT_TRUE(Catcher.Received().empty());
  EXPECT_EQ(agent->Config().GetCoordinatorIp(), "127.0.0.1");
}

TEST_F(DiscoveryTest, APingThatCannotBeSentIsLoggedOncePerCause) {
  ASSERT_EQ(std::system("ip route del 255.255.255.255/32 dev lo"), 0);
  // Sessions in the agent's process: the log holds only the discovery's lines.
  auto agent = Start("[agent]\nsuspend_timeout=0\nbind_port=0\nbroadcast_port=0\nenableDebugOutput=1\nisolation=thread\n"
                     "[coordinator]\n" + Ports());
  Serve([] { return false; }, 11s);  // two pings' time
  std::vector<std::string> lines = Platform.Debug.Taken();
  EXPECT_EQ(std::system("ip route add 255.255.255.255/32 dev lo src 127.0.0.1"), 0);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "AGENT: Unable to send the discovery broadcast: Network is unreachable\r");
  EXPECT_EQ(agent->GetStatusText(), "Unassigned, searching for coordinator...");
}

int main(int argc, char** argv) { return RunInLoopbackNamespace(argc, argv); }
