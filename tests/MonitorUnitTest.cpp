// SPDX-License-Identifier: Apache-2.0
// The monitor's parts without a network: the status report's decoding, the
// registry of agents on a clock of the test's own, and the settings.
#include <gtest/gtest.h>

#include <atomic>

#include "Common/CommandText.h"
#include "Monitor/AgentReport.h"
#include "Monitor/T_AgentRegistry.h"
#include "Monitor/T_MonitorSettings.h"

namespace {

TAgentReport Parse(const std::string& text) {
  std::string error;
  std::optional<TAgentReport> report = ParseStatusReport(text, error);
  EXPECT_TRUE(report) << text << ": " << error;
  return report.value_or(TAgentReport{});
}

std::string Refusal(const std::string& text) {
  std::string error;
  EXPECT_FALSE(ParseStatusReport(text, error)) << text;
  return error;
}

}  // namespace

TEST(StatusReport, DecodesEveryItemOfTheExampleReport) {
  const TAgentReport report = Parse("UPDATE_STATUS 265 WORKSTATION7 2.400 97 0 1536 Unassigned 2 2");
  EXPECT_EQ(report.Version, 265u);
  EXPECT_EQ(report.ComputerName, "WORKSTATION7");
  EXPECT_DOUBLE_EQ(report.ProcessorGHz, 2.4);
  EXPECT_EQ(report.IdlePercent, 97u);
  EXPECT_EQ(report.AgentPercent, 0u);
  EXPECT_EQ(report.FreeMemoryMB, 1536u);
  EXPECT_EQ(report.StatusText, "Unassigned");
  EXPECT_EQ(report.ProcessorCount, 2u);
  EXPECT_EQ(report.PoolSize, 2u);
  EXPECT_FALSE(IsSuspended(report.StatusText));
}

TEST(StatusReport, DecodesEncodedTextsAndAnEmptyComputerName) {
  const std::string status = "Working for 127.0.0.1[3], 10.0.0.9[] [suspended, 12]";
  const TAgentReport report =
      Parse("UPDATE_STATUS 265  3.000 0 100 4000000000 " + EncodeArgument(status) + " 10 9");
  EXPECT_EQ(report.ComputerName, "");
  EXPECT_EQ(report.StatusText, status);
  EXPECT_TRUE(IsSuspended(report.StatusText));
  EXPECT_EQ(report.AgentPercent, 100u);
  EXPECT_EQ(report.FreeMemoryMB, 4000000000u);
  EXPECT_EQ(Parse("UPDATE_STATUS 265 " + EncodeArgument("my pc") + " 2.4 1 2 3 x 1 1").ComputerName, "my pc");
}

// Agents measure their shares over windows that differ a little: a share
// above 100 is a live agent's report, not a malformed one.
TEST(StatusReport, TakesSharesAsTheAgentMeasuredThemAndViewsKeepThemWithin100) {
  std::string error;
  const std::optional<TAgentReport> report =
      ParseStatusReport("UPDATE_STATUS 265 A 2.400 4294967295 103 1536 U 2 2", error);
  ASSERT_TRUE(report) << error;
  EXPECT_EQ(report->IdlePercent, 4294967295u);
  EXPECT_EQ(report->AgentPercent, 103u);
  EXPECT_EQ(LoadPercent(report->IdlePercent), 100u);
  EXPECT_EQ(SharePercent(report->AgentPercent), 100u);
  EXPECT_EQ(LoadPercent(97), 3u);
  EXPECT_EQ(LoadPercent(101), 0u);
  EXPECT_EQ(SharePercent(2), 2u);
  EXPECT_EQ(SharePercent(4294967290u), 0u);
}

TEST(StatusReport, RefusesMalformedReportsSayingWhy) {
  EXPECT_EQ(Refusal(""), "not an UPDATE_STATUS report");
  EXPECT_EQ(Refusal("KEEP_ALIVE 265 A 2.400 97 0 1536 U 2 2"), "not an UPDATE_STATUS report");
  EXPECT_EQ(Refusal("UPDATE_STATUS 265 A 2.400 97 0 1536"), "7 items, 10 expected");
  EXPECT_EQ(Refusal("UPDATE_STATUS 265 A 2.400 97 0 1536 U 2 2 extra"), "more than 10 items, 10 expected");
  EXPECT_EQ(Refusal("UPDATE_STATUS 265 A 2.400 x97 0 1536 U 2 2"), "item 5 (idle percent) is not a number");
  EXPECT_EQ(Refusal("UPDATE_STATUS 265 A 2.400 97 0 1536 U 2 -2"), "item 10 (pool size) is not a number");
  EXPECT_EQ(Refusal("UPDATE_STATUS 265 A 2,400 97 0 1536 U 2 2"), "item 4 (processor speed) is not a decimal");
  EXPECT_EQ(Refusal("UPDATE_STATUS 265 A 2.400 97 0 99999999999 U 2 2"), "item 7 (free memory) is not a number");
  EXPECT_NE(Refusal("UPDATE_STATUS 265 A%zz 2.400 97 0 1536 U 2 2").find("a malformed name or status text"),
            std::string::npos);
  // Two blanks where one belongs shift every item after them.
  EXPECT_EQ(Refusal("UPDATE_STATUS  265 A 2.400 97 0 1536 U 2 2"), "more than 10 items, 10 expected");
  for (const char* speed : {"", ".5", "2.", "2.4.0", "+2.4", "2.4e3"})
    Refusal(std::string("UPDATE_STATUS 265 A ") + speed + " 97 0 1536 U 2 2");
}

namespace {

TAgentReport Report(const std::string& name, uint32_t idle = 90, uint32_t agent = 5) {
  TAgentReport report;
  report.Version = 265;
  report.ComputerName = name;
  report.IdlePercent = idle;
  report.AgentPercent = agent;
  report.StatusText = "Unassigned";
  report.ProcessorCount = 2;
  report.PoolSize = 2;
  return report;
}

struct RegistryTest : ::testing::Test {
  static constexpr int64_t kStart = 1'000'000'000'000;  // a slot boundary
  static constexpr int64_t kLostAfter = 10000;
  std::atomic<int64_t> Now{kStart};
  TAgentRegistry Registry{[this] { return Now.load(); }, kLostAfter};

  const TAgentView& Only(const TRegistrySnapshot& snapshot) {
    EXPECT_EQ(snapshot.Agents.size(), 1u);
    return snapshot.Agents.at(0);
  }
};

}  // namespace

TEST_F(RegistryTest, AnAgentSilentLongerThanLostAfterIsLost) {
  const uint64_t key = Registry.Connected("10.0.0.7");
  EXPECT_TRUE(Registry.Snapshot().Agents.empty()) << "known once it reports";
  Registry.Report(key, Report("WORKSTATION7"));
  Now += kLostAfter;
  TRegistrySnapshot snapshot = Registry.Snapshot();
  EXPECT_TRUE(Only(snapshot).Up);
  EXPECT_EQ(snapshot.AgentsUp(), 1u);
  EXPECT_EQ(Only(snapshot).Address, "10.0.0.7");
  EXPECT_EQ(Only(snapshot).Latest.ComputerName, "WORKSTATION7");
  EXPECT_EQ(Only(snapshot).FirstSeenUnixMs, kStart);
  EXPECT_EQ(Only(snapshot).LastReportUnixMs, kStart);
  Now += 2001;
  snapshot = Registry.Snapshot();
  EXPECT_FALSE(Only(snapshot).Up);
  EXPECT_EQ(Only(snapshot).LostReason, "silent for 12 s");
  EXPECT_EQ(snapshot.AgentsUp(), 0u);
}

TEST_F(RegistryTest, AClosedConnectionLosesItsAgentWhichComesBackUnderItsId) {
  const uint64_t first = Registry.Connected("10.0.0.7");
  Registry.Report(first, Report("WORKSTATION7", 80, 10));
  const uint64_t id = Only(Registry.Snapshot()).Id;
  Registry.Closed(first, "connection closed");
  Registry.Report(first, Report("WORKSTATION7"));  // late: ignored
  TAgentView lost = Only(Registry.Snapshot());
  EXPECT_FALSE(lost.Up);
  EXPECT_EQ(lost.LostReason, "connection closed");
  EXPECT_EQ(lost.Reports, 1u);

  Now += 60000;
  const uint64_t second = Registry.Connected("10.0.0.7");
  Registry.Report(second, Report("WORKSTATION7", 40, 30));
  const TAgentView back = Only(Registry.Snapshot());
  EXPECT_TRUE(back.Up);
  EXPECT_EQ(back.Id, id);
  EXPECT_EQ(back.LostReason, "");
  EXPECT_EQ(back.Reports, 2u);
  EXPECT_EQ(back.FirstSeenUnixMs, kStart);
  EXPECT_EQ(back.History, (std::vector<TLoadPoint>{{kStart, 20, 10}, {kStart + 60000, 60, 30}}));
  const TRegistrySnapshot snapshot = Registry.Snapshot();
  EXPECT_EQ(snapshot.ConnectionsAccepted, 2u);
  EXPECT_EQ(snapshot.ReportsReceived, 2u);
}

TEST_F(RegistryTest, AgentsAreToldApartByAddressAndName) {
  const uint64_t a = Registry.Connected("10.0.0.7");
  const uint64_t b = Registry.Connected("10.0.0.7");
  const uint64_t c = Registry.Connected("10.0.0.2");
  Registry.Report(a, Report("SAME"));
  Registry.Report(b, Report("SAME"));  // a second agent of that name while the first is up
  Registry.Report(c, Report("OTHER"));
  TRegistrySnapshot snapshot = Registry.Snapshot();
  ASSERT_EQ(snapshot.Agents.size(), 3u);
  EXPECT_EQ(snapshot.Agents[0].Address, "10.0.0.2");
  EXPECT_NE(snapshot.Agents[1].Id, snapshot.Agents[2].Id);
  // One of the two closing leaves the other up.
  Registry.Closed(a, "connection closed");
  snapshot = Registry.Snapshot();
  EXPECT_EQ(snapshot.AgentsUp(), 2u);
  // Rejected frames and discovery answers are counted.
  Registry.Rejected(c);
  Registry.DiscoveryAnswered();
  snapshot = Registry.Snapshot();
  EXPECT_EQ(snapshot.ReportsRejected, 1u);
  EXPECT_EQ(snapshot.DiscoveryAnswers, 1u);
}

TEST_F(RegistryTest, HistoryKeepsTheMeanOfEachSlotForTenMinutes) {
  const uint64_t key = Registry.Connected("10.0.0.7");
  Registry.Report(key, Report("A", 90, 0));   // busy 10
  Now += 1200;
  Registry.Report(key, Report("A", 70, 20));  // busy 30
  Now += 1200;
  Registry.Report(key, Report("A", 60, 11));  // busy 40
  Now += TAgentRegistry::kHistorySlotMs - 2400;
  Registry.Report(key, Report("A", 0, 100));
  // An agent's sampler may report shares beyond 100, or an idle share that
  // wrapped below zero: the chart keeps them within 0-100.
  Registry.Report(key, Report("A", 4294967295u, 103));
  EXPECT_EQ(Only(Registry.Snapshot()).History,
            (std::vector<TLoadPoint>{{kStart, 26, 10}, {kStart + TAgentRegistry::kHistorySlotMs, 100, 100}}));

  // Ten minutes on, the first slot has aged out, in snapshots and when the
  // next report comes.
  Now = kStart + TAgentRegistry::kHistoryMs;
  EXPECT_EQ(Only(Registry.Snapshot()).History.size(), 1u);
  Registry.Report(key, Report("A", 50, 50));
  EXPECT_EQ(Only(Registry.Snapshot()).History,
            (std::vector<TLoadPoint>{{kStart + TAgentRegistry::kHistorySlotMs, 100, 100},
                                     {kStart + TAgentRegistry::kHistoryMs, 50, 50}}));
  Now += TAgentRegistry::kHistoryMs;
  Registry.Report(key, Report("A", 50, 50));
  EXPECT_EQ(Only(Registry.Snapshot()).History.size(), 1u);
}

TEST(MonitorSettings, DefaultsAreTheAgentsPorts) {
  const TMonitorSettings settings = ReadMonitorSettings(TIniFile());
  EXPECT_EQ(settings.StatusPort, 4100);
  EXPECT_EQ(settings.DiscoveryPort, 4105);
  EXPECT_EQ(settings.AnswerPort, 4104);
  EXPECT_EQ(settings.AgentLobbyPort, 4102);
  EXPECT_EQ(settings.BindIp, "");
  EXPECT_EQ(settings.HttpPort, 4106);
  EXPECT_EQ(settings.LostAfterSeconds, 10);
  EXPECT_TRUE(settings.AnswerDiscovery);
}

TEST(MonitorSettings, ReadsEveryKeyWithTheSettingsFileNumberRules) {
  const TMonitorSettings settings = ReadMonitorSettings(
      TIniFile("[Coordinator]\nbind_port=$1004\nbroadcast_port=0x1005\n"
               "[agent]\nbroadcast_port=70000\nbind_port=\"5102\"\n"
               "[monitor]\nbind_ip=127.0.0.9\nhttp_port=0\nlost_after=30\nanswer_discovery=0\n"));
  EXPECT_EQ(settings.StatusPort, 0x1004);
  EXPECT_EQ(settings.DiscoveryPort, 0x1005);
  EXPECT_EQ(settings.AnswerPort, 70000 & 0xFFFF);  // ports keep the low 16 bits
  EXPECT_EQ(settings.AgentLobbyPort, 5102);
  EXPECT_EQ(settings.BindIp, "127.0.0.9");
  EXPECT_EQ(settings.HttpPort, 0);
  EXPECT_EQ(settings.LostAfterSeconds, 30);
  EXPECT_FALSE(settings.AnswerDiscovery);
}

TEST(MonitorSettings, BadNumbersGiveDefaultsAndLostAfterIsBounded) {
  TMonitorSettings settings =
      ReadMonitorSettings(TIniFile("[coordinator]\nbind_port=yes\n[monitor]\nlost_after=1\nanswer_discovery=x\n"));
  EXPECT_EQ(settings.StatusPort, 4100);
  EXPECT_EQ(settings.LostAfterSeconds, 2);
  EXPECT_TRUE(settings.AnswerDiscovery);
  EXPECT_EQ(ReadMonitorSettings(TIniFile("[monitor]\nlost_after=-5\n")).LostAfterSeconds, 2);
  EXPECT_EQ(ReadMonitorSettings(TIniFile("[monitor]\nlost_after=ten\n")).LostAfterSeconds, 10);
  EXPECT_EQ(ReadMonitorSettings(TIniFile("[monitor]\nlost_after=$7FFFFFFF\n")).LostAfterSeconds, 86400);
}
