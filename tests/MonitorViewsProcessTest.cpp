// SPDX-License-Identifier: Apache-2.0
// The monitor's views from outside: its page run by a real browser (headless
// Chromium), and kelvra-submit taking its agents from the monitor, against
// real agents on loopback addresses of their own.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "FakePeers.h"
#include "Monitor/AgentsJson.h"
#include "Monitor/T_AgentRegistry.h"
#include "Monitor/T_WebServer.h"
#include "MonitorWebSupport.h"
#include "Platform/T_ChildProcess.h"
#include "TestSupport.h"
#include "T_AgentProcess.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kChromium = "/usr/bin/chromium";
constexpr int kRunBoundMs = 180000;

int64_t UnixMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The page at `url` as headless Chromium leaves it once its script ran.
std::string PageInChromium(const TTempDir& dir, const std::string& url) {
  TChildProcess browser;
  if (!browser
           .Start({kChromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                   "--user-data-dir=" + (dir / "profile"), "--virtual-time-budget=10000", "--dump-dom", url},
                  {"HOME=" + dir.Get(), "XDG_CONFIG_HOME=" + (dir / "config"), "XDG_CACHE_HOME=" + (dir / "cache")},
                  dir / "dom.html", dir / "browser.err")
           .Ok())
    return "chromium did not start";
  if (browser.WaitExit(kRunBoundMs) != 0) return "chromium failed: " + ReadTextFile(dir / "browser.err");
  return ReadTextFile(dir / "dom.html");
}

TEST(MonitorPage, HeadlessChromiumShowsEveryAgentAfterThePagesScriptRan) {
  if (::access(kChromium, X_OK) != 0) GTEST_SKIP() << kChromium << " is not installed";
  TTempDir dir;
  TServedRegistry monitor(UnixMs, 4102);
  ASSERT_TRUE(monitor.Started);
  monitor.Feed("127.0.0.2", SampleReport("ALPHA-NODE", 95, 0, "Unassigned"));
  monitor.Feed("127.0.0.3", SampleReport("BETA-NODE", 20, 75, "Working on 3 tasks"));
  const uint64_t gone = monitor.Feed("127.0.0.4", SampleReport("GAMMA-NODE", 50, 0, "<b>Idle</b>"));
  monitor.Registry.Closed(gone, "connection closed");

  const std::string dom = PageInChromium(dir, "http://" + monitor.Host() + "/");
  // Rows the script made from agents.json: names, status texts, counts.
  for (const char* text : {">ALPHA-NODE<", ">BETA-NODE<", ">GAMMA-NODE<", ">Unassigned<", ">Working on 3 tasks<",
                           ">lost: connection closed<", "id=\"agents-up\">2<", "id=\"agents-lost\">1<", ">80 %<",
                           ">75 %<", "<polyline"})
    EXPECT_NE(dom.find(text), std::string::npos) << text << "\n" << dom;
  // A status text is text, never markup.
  EXPECT_EQ(dom.find("<b>Idle</b>"), std::string::npos);
}

TEST(MonitorPage, WithFifteenThousandAgentsShowsTheCountsAndOnePageAndFiltersByName) {
  if (::access(kChromium, X_OK) != 0) GTEST_SKIP() << kChromium << " is not installed";
  TTempDir dir;
  TServedRegistry monitor(UnixMs, 4102);
  ASSERT_TRUE(monitor.Started);
  for (int i = 0; i < 15000; ++i) {
    const std::string address = "127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
    const uint64_t key = monitor.Feed(address, SampleReport("node" + std::to_string(i), 90, 5, "Unassigned"));
    if (i % 1000 == 999) monitor.Registry.Closed(key, "connection closed");
  }
  const std::string first = PageInChromium(dir, "http://" + monitor.Host() + "/");
  for (const char* text : {"id=\"agents-up\">14985<", "id=\"agents-lost\">15<", "id=\"processors\">119880<",
                           "id=\"pool-threads\">89910<", "id=\"load\">10 %<", ">1–50 of 15000<", ">node0<",
                           ">node49<"})
    EXPECT_NE(first.find(text), std::string::npos) << text << "\n" << first.substr(0, 4000);
  // One page of rows, each with its chart; the rest stays with the monitor.
  size_t rows = 0;
  for (size_t at = first.find("<tr"); at != std::string::npos; at = first.find("<tr", at + 1)) ++rows;
  EXPECT_EQ(rows, 1u + 50u);  // the header's and the page's
  EXPECT_EQ(first.find(">node50<"), std::string::npos);

  const std::string filtered = PageInChromium(dir, "http://" + monitor.Host() + "/#filter=NODE12345");
  EXPECT_NE(filtered.find(">node12345<"), std::string::npos) << filtered.substr(0, 4000);
  EXPECT_NE(filtered.find(">1–1 of 1 (of 15000)<"), std::string::npos) << filtered.substr(0, 4000);
  EXPECT_EQ(filtered.find(">node0<"), std::string::npos);
}

TEST(MonitorStatusCommand, PrintsTheTableOfARunningMonitorOrSaysItCannotReachIt) {
  TTempDir dir;
  TServedRegistry monitor(UnixMs, 4102);
  ASSERT_TRUE(monitor.Started);
  monitor.Feed("127.0.0.2", SampleReport("ALPHA-NODE", 95, 0, "Unassigned"));
  monitor.Registry.Closed(monitor.Feed("127.0.0.4", SampleReport("GAMMA-NODE", 50, 0, "Idle")), "connection closed");
  const auto run = [&](const std::string& hostPort) {
    TChildProcess child;
    if (!child.Start({KELVRA_MONITOR_PATH, "--status", hostPort}, {}, dir / "out", dir / "err").Ok()) return -2;
    return child.WaitExit(kRunBoundMs);
  };
  ASSERT_EQ(run(monitor.Host()), 0) << ReadTextFile(dir / "err");
  const std::string table = ReadTextFile(dir / "out");
  EXPECT_EQ(table.rfind("ADDRESS    NAME        CPUS  POOL  LOAD  AGENT  FREE MEMORY  LAST REPORT  STATUS\n", 0), 0u)
      << table;
  EXPECT_NE(table.find("\n127.0.0.2  ALPHA-NODE     8     6   5 %    0 %      1536 MB"), std::string::npos) << table;
  EXPECT_NE(table.find("  lost: connection closed\n1 agent up, 1 lost\n"), std::string::npos) << table;

  const std::string nobody = "127.0.0.1:" + std::to_string(fake::FreePort());
  EXPECT_EQ(run(nobody), 1);
  EXPECT_EQ(ReadTextFile(dir / "err"), "kelvra-monitor: monitor " + nobody + " is unreachable: no connection\n");
}

#ifdef KELVRA_SUBMIT_PATH

std::string Lines(size_t count, const std::string& prefix) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text += prefix + std::to_string(i) + "\n";
  return text;
}

// An agent on a loopback address of its own at `lobbyPort`, sending its
// task reports to `dataPort` and its status reports to 127.0.0.1:`statusPort`
// (a port nobody listens on unless given), never broadcasting.
class TAddressedAgent {
 public:
  TAddressedAgent(const std::string& address, uint16_t lobbyPort, uint16_t dataPort, uint16_t statusPort = 0)
      : Address(address) {
    WriteTextFile(Dir / "kelvra.INI",
                  "[agent]\n" + TestIsolation() + "bind_ip=" + address + "\nbind_port=" + std::to_string(lobbyPort) +
                      "\nenableDebugOutput=1\nexplicitCPU=0\nsuspend_timeout=0\nbroadcast_port=0\n"
                      "[coordinator]\ncoordinator_ip=127.0.0.1\nallowDiscardCoordinatorIp=0\nbind_port=" +
                      std::to_string(statusPort != 0 ? statusPort : fake::FreePort()) + "\n[user]\ndata_port=" + std::to_string(dataPort) + "\n");
    Process = std::make_unique<TAgentProcess>(Dir, std::vector<std::string>{"--headless", "--config", Dir / "kelvra.INI"});
    Ready = WaitUntil([&] { return fake::Listening(address, lobbyPort); }, 60s);
  }
  size_t TasksDone() const {
    const std::string log = Process->Err();
    size_t count = 0;
    for (size_t at = log.find("TASK_DONE"); at != std::string::npos; at = log.find("TASK_DONE", at + 1)) ++count;
    return count;
  }

  const std::string Address;
  TTempDir Dir;
  std::unique_ptr<TAgentProcess> Process;
  bool Ready = false;
};

struct SubmitFromMonitorTest : ::testing::Test {
  // The exit status of kelvra-submit with `arguments` and `input` on its
  // standard input; its output in Out and Err.
  int Submit(std::vector<std::string> arguments, const std::string& input) {
    WriteTextFile(Dir / "submit.in", input);
    arguments.insert(arguments.begin(), KELVRA_SUBMIT_PATH);
    TChildProcess child;
    if (!child.Start(arguments, {}, Dir / "submit.out", Dir / "submit.err", Dir / "submit.in").Ok()) return -2;
    const int status = child.WaitExit(kRunBoundMs);
    Out = ReadTextFile(Dir / "submit.out");
    Err = ReadTextFile(Dir / "submit.err");
    return status;
  }

  TTempDir Dir;
  uint16_t LobbyPort = fake::FreePort();
  uint16_t DataPort = fake::FreePort();
  std::string Out, Err;
};

TEST_F(SubmitFromMonitorTest, RunsOnEveryAgentThatIsUpAndNotSuspended) {
  TAddressedAgent alpha("127.0.0.2", LobbyPort, DataPort), beta("127.0.0.3", LobbyPort, DataPort);
  ASSERT_TRUE(alpha.Ready && beta.Ready);
  TServedRegistry monitor(UnixMs, LobbyPort);
  ASSERT_TRUE(monitor.Started);
  monitor.Feed("127.0.0.2", SampleReport("ALPHA", 95, 0, "Unassigned"));
  monitor.Feed("127.0.0.3", SampleReport("BETA", 95, 0, "Unassigned"));
  // Neither of these is anybody: a run that tried them would say so.
  monitor.Feed("127.0.0.4", SampleReport("BUSY-OWNER", 5, 0, "Unassigned [suspended, 2]"));
  monitor.Registry.Closed(monitor.Feed("127.0.0.5", SampleReport("GONE", 95, 0, "Unassigned")), "connection closed");

  // Given also by --agent: still one session on it.
  const int status = Submit({"--monitor", monitor.Host(), "--agent", "127.0.0.2:" + std::to_string(LobbyPort),
                             "--data-port", std::to_string(DataPort), "--library", KELVRA_TASKLIB_SUBMIT,
                             "--procedure", "SlowEcho", "-"},
                            Lines(300, "task "));
  ASSERT_EQ(status, 0) << Err;
  EXPECT_EQ(Out, Lines(300, "task "));
  EXPECT_NE(Err.find("300 done, 0 failed"), std::string::npos) << Err;
  EXPECT_GT(alpha.TasksDone(), 0u);
  EXPECT_GT(beta.TasksDone(), 0u);
  EXPECT_EQ(alpha.TasksDone() + beta.TasksDone(), 300u);
  EXPECT_EQ(Err.find("127.0.0.4"), std::string::npos) << Err;
  EXPECT_EQ(Err.find("127.0.0.5"), std::string::npos) << Err;
}

TEST_F(SubmitFromMonitorTest, AMonitorUnreachableOrWithoutAgentsToRunOnIsAUsageLevelError) {
  const std::vector<std::string> rest = {"--data-port", std::to_string(DataPort), "--library", KELVRA_TASKLIB_SUBMIT,
                                         "--procedure", "SlowEcho", "-"};
  const auto with = [&](std::vector<std::string> first) {
    first.insert(first.end(), rest.begin(), rest.end());
    return first;
  };
  const std::string nobody = "127.0.0.1:" + std::to_string(fake::FreePort());
  EXPECT_EQ(Submit(with({"--monitor", nobody}), "x\n"), 2);
  EXPECT_NE(Err.find("kelvra-submit: monitor " + nobody + " is unreachable: "), std::string::npos) << Err;

  TServedRegistry monitor(UnixMs, LobbyPort);
  ASSERT_TRUE(monitor.Started);
  EXPECT_EQ(Submit(with({"--monitor", monitor.Host()}), "x\n"), 2);
  EXPECT_NE(Err.find("lists no agent that is up and not suspended (0 known)"), std::string::npos) << Err;
  monitor.Feed("127.0.0.4", SampleReport("BUSY-OWNER", 5, 0, "Unassigned [suspended, 2]"));
  monitor.Registry.Closed(monitor.Feed("127.0.0.5", SampleReport("GONE", 95, 0, "Unassigned")), "connection closed");
  EXPECT_EQ(Submit(with({"--monitor", monitor.Host()}), "x\n"), 2);
  EXPECT_NE(Err.find("lists no agent that is up and not suspended (2 known)"), std::string::npos) << Err;

  EXPECT_EQ(Submit(with({"--monitor", ":80"}), "x\n"), 2);
  EXPECT_NE(Err.find("bad --monitor :80: the address has no host"), std::string::npos) << Err;
  EXPECT_EQ(Submit(with({"--monitor", monitor.Host(), "--local"}), "x\n"), 2);
  EXPECT_NE(Err.find("--local and --monitor exclude each other"), std::string::npos) << Err;
  EXPECT_EQ(Out, "");
}

// The whole grid as a user runs it: the real monitor, agents reporting to
// it from addresses of their own, and the two tools that read it.
TEST_F(SubmitFromMonitorTest, TheRealMonitorListsReportingAgentsAndSubmitRunsOnThem) {
  const uint16_t statusPort = fake::FreePort(), httpPort = fake::FreePort();
  WriteTextFile(Dir / "monitor.INI", "[coordinator]\nbind_port=" + std::to_string(statusPort) +
                                          "\nbroadcast_port=0\n[agent]\nbind_port=" + std::to_string(LobbyPort) +
                                          "\n[monitor]\nbind_ip=127.0.0.1\nhttp_port=" + std::to_string(httpPort) +
                                          "\nanswer_discovery=0\n");
  TChildProcess monitorProcess;
  ASSERT_TRUE(monitorProcess.Start({KELVRA_MONITOR_PATH, "--config", Dir / "monitor.INI"}, {}, Dir / "monitor.log").Ok());
  TAddressedAgent alpha("127.0.0.2", LobbyPort, DataPort, statusPort), beta("127.0.0.3", LobbyPort, DataPort, statusPort);
  ASSERT_TRUE(alpha.Ready && beta.Ready);
  const std::string monitor = "127.0.0.1:" + std::to_string(httpPort);
  ASSERT_TRUE(WaitUntil(
      [&] {
        TAgentList list;
        return FetchAgentList(monitor, list).Ok() && list.Agents.size() == 2 && list.Agents[0].Up && list.Agents[1].Up;
      },
      60s))
      << ReadTextFile(Dir / "monitor.log");

  TChildProcess status;
  ASSERT_TRUE(status.Start({KELVRA_MONITOR_PATH, "--status", monitor}, {}, Dir / "status.out", Dir / "status.err").Ok());
  ASSERT_EQ(status.WaitExit(kRunBoundMs), 0) << ReadTextFile(Dir / "status.err");
  const std::string table = ReadTextFile(Dir / "status.out");
  EXPECT_NE(table.find("\n127.0.0.2  "), std::string::npos) << table;
  EXPECT_NE(table.find("\n127.0.0.3  "), std::string::npos) << table;
  EXPECT_NE(table.find("\n2 agents up, 0 lost\n"), std::string::npos) << table;

  ASSERT_EQ(Submit({"--monitor", monitor, "--data-port", std::to_string(DataPort), "--library", KELVRA_TASKLIB_SUBMIT,
                    "--procedure", "SlowEcho", "-"},
                   Lines(200, "task ")),
            0)
      << Err;
  EXPECT_EQ(Out, Lines(200, "task "));
  EXPECT_GT(alpha.TasksDone(), 0u);
  EXPECT_GT(beta.TasksDone(), 0u);
  EXPECT_EQ(monitorProcess.Stop(30000), 0) << ReadTextFile(Dir / "monitor.log");
}

#endif  // KELVRA_SUBMIT_PATH

}  // namespace
