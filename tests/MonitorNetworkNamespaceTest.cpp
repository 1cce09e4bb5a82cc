// SPDX-License-Identifier: Apache-2.0
// Discovery of the monitor: a real agent left to find its coordinator
// broadcasts, the monitor answers, and the agent reports to it. Runs only
// inside a private network namespace holding nothing but the loopback
// interface (tests/run-in-netns.sh makes it), where the agents' default
// ports are free; it refuses to run anywhere else.
#include <gtest/gtest.h>

#include <chrono>

#include "Monitor/T_AgentRegistry.h"
#include "Monitor/T_DiscoveryResponder.h"
#include "Monitor/T_StatusServer.h"
#include "T_AgentProcess.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;

int64_t UnixMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

TEST(MonitorDiscovery, AnAgentWithoutACoordinatorFindsTheMonitorAndReportsToIt) {
  TRecordingSink log;
  TLinuxSystem system;
  const TMonitorSettings settings;  // the agents' default ports, every address
  TAgentRegistry registry(UnixMs, int64_t{settings.LostAfterSeconds} * 1000);
  TStatusServer status(system, log, registry, settings);
  TDiscoveryResponder discovery(system, log, registry, settings);
  TStatus started = status.Start();
  ASSERT_TRUE(started) << started.Text();
  started = discovery.Start();
  ASSERT_TRUE(started) << started.Text();

  // An empty coordinator_ip and the default allowDiscardCoordinatorIp: the
  // agent searches by broadcast.
  TTempDir dir;
  WriteTextFile(dir / "kelvra.INI", "[agent]\nsuspend_timeout=0\nbind_port=0\n[coordinator]\ncoordinator_ip=\n");
  TAgentProcess agent(dir, {"--headless", "--config", dir / "kelvra.INI"});
  const auto reporting = [&] {
    TRegistrySnapshot snapshot = registry.Snapshot();
    return snapshot.AgentsUp() == 1 && snapshot.Agents[0].Address == "127.0.0.1";
  };
  // A search pings about every 5 s.
  EXPECT_TRUE(WaitUntil(reporting, 90s)) << agent.Err();
  EXPECT_NE(ReadTextFile(dir / "kelvra.INI").find("coordinator_ip=127.0.0.1"), std::string::npos)
      << ReadTextFile(dir / "kelvra.INI");
  EXPECT_GE(registry.Snapshot().DiscoveryAnswers, 1u);
  const std::vector<std::string> lines = log.Taken();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "MONITOR: answered discovery from 127.0.0.1\r"), lines.end());

  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.WaitExit(60s), 0) << agent.Err();
}

int main(int argc, char** argv) { return RunInLoopbackNamespace(argc, argv); }
