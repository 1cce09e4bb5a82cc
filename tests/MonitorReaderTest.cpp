// SPDX-License-Identifier: Apache-2.0
// The monitor's bounded parts without a network: a status frame read as its
// bytes arrive, the registry's bound on agents, a page of /agents.json, and
// the settings that bound who reports and how many.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Common/CommandText.h"
#include "Monitor/AgentsJson.h"
#include "Monitor/T_AgentRegistry.h"
#include "Monitor/T_MonitorSettings.h"
#include "Monitor/T_ReportReader.h"
#include "MonitorWebSupport.h"
#include "Platform/T_TcpSocket.h"

namespace {

constexpr int32_t kBound = 16 * 1024 * 1024;

std::string Frame(const std::string& text) {
  const auto size = static_cast<uint32_t>(text.size());
  std::string frame{static_cast<char>(size), static_cast<char>(size >> 8), static_cast<char>(size >> 16),
                    static_cast<char>(size >> 24)};
  return frame + text;
}

// What the reader makes of `bytes` given `piece` bytes at a time: each
// frame's report, or its refusal as "refused: <why>".
std::vector<std::string> ReadAll(const std::string& bytes, size_t piece, std::vector<TAgentReport>* reports = nullptr,
                                 std::vector<size_t>* statusBytes = nullptr) {
  TReportReader reader(kBound);
  std::vector<std::string> seen;
  for (size_t at = 0; at < bytes.size();) {
    std::string_view data = std::string_view(bytes).substr(at, piece);
    while (!data.empty()) {
      size_t used = 0;
      const TReportReader::EStep step = reader.Take(data, used);
      data.remove_prefix(used);
      at += used;
      if (step == TReportReader::EStep::TooLong) {
        seen.push_back("too long: " + std::to_string(reader.Announced()));
        return seen;
      }
      if (step != TReportReader::EStep::Frame) continue;
      std::string error;
      std::optional<TAgentReport> report = reader.Report(error);
      seen.push_back(report ? "report" : "refused: " + error);
      if (report && reports) reports->push_back(*report);
      if (report && statusBytes) statusBytes->push_back(reader.StatusBytes());
    }
  }
  return seen;
}

}  // namespace

TEST(ReportReader, ReadsFramesInAnyPiecesAsTheParserReadsTheirText) {
  const std::string first = "UPDATE_STATUS 265 WORKSTATION7 2.400 97 0 1536 Unassigned 2 2";
  const std::string second = "UPDATE_STATUS 265  1.5 4294967295 103 20000 Working+for+a%5b1%5d 8 6";
  for (size_t piece : {size_t{1}, size_t{3}, size_t{4096}}) {
    std::vector<TAgentReport> reports;
    EXPECT_EQ(ReadAll(Frame(first) + Frame(second), piece, &reports), (std::vector<std::string>{"report", "report"}));
    ASSERT_EQ(reports.size(), 2u);
    std::string error;
    EXPECT_EQ(reports[0], *ParseStatusReport(first, error));
    EXPECT_EQ(reports[1], *ParseStatusReport(second, error));
    EXPECT_EQ(reports[1].StatusText, "Working for a[1]");
  }
}

TEST(ReportReader, KeepsTheStartAndEndOfALongStatusTextWithItsLength) {
  // A busy agent lists its queued tasks: about 80 KB.
  std::string status = "Working for a[";
  for (int id = 1; id <= 14000; ++id) status += (id > 1 ? "," : "") + std::to_string(id);
  status += "] [suspended, 30]";
  const std::string name(1000, 'N');
  const std::string text =
      "UPDATE_STATUS 265 " + name + " 2.400 50 40 1536 " + EncodeArgument(status) + " 8 8";
  ASSERT_GT(text.size(), 80000u);
  std::vector<TAgentReport> reports;
  std::vector<size_t> statusBytes;
  EXPECT_EQ(ReadAll(Frame(text), 1500, &reports, &statusBytes), std::vector<std::string>{"report"});
  ASSERT_EQ(reports.size(), 1u);
  const TAgentReport& report = reports[0];
  EXPECT_EQ(statusBytes[0], status.size());
  EXPECT_EQ(report.StatusText.rfind("Working for a[1,2,3,4,5,", 0), 0u) << report.StatusText;
  EXPECT_TRUE(report.StatusText.ends_with(",13999,14000] [suspended, 30]")) << report.StatusText;
  EXPECT_NE(report.StatusText.find("\xe2\x80\xa6"), std::string::npos);
  EXPECT_EQ(report.StatusText.size(), TReportReader::kShownStatusBytes + 3 + TReportReader::kShownTailBytes);
  EXPECT_TRUE(IsSuspended(report.StatusText));
  EXPECT_EQ(report.ComputerName, std::string(TReportReader::kMaxNameBytes, 'N') + "\xe2\x80\xa6");
  EXPECT_EQ(report.ProcessorCount, 8u);
  EXPECT_EQ(report.AgentPercent, 40u);
}

TEST(ReportReader, RefusesWhatTheParserRefusesForTheSameReason) {
  const std::vector<std::string> malformed = {
      "UPDATE_STATUS 265 HOSTILE",
      "",
      "HELLO 265 A 2.400 97 0 1536 Unassigned 2 2",
      "UPDATE_STATUS 265 A 2.400 97 0 1536 Unassigned 2 2 extra",
      "UPDATE_STATUS 265 A 2.400 97 zero 1536 Unassigned 2 2",
      "UPDATE_STATUS 265 A 2.4.0 97 0 1536 Unassigned 2 2",
      "UPDATE_STATUS 265 A 2.400 97 0 1536 Una%zzssigned 2 2",
      "UPDATE_STATUS 265 A 2.400 97 0 1536 Unassigned% 2 2",
      "UPDATE_STATUS 265 A%4 2.400 97 0 1536 Unassigned 2 2",
  };
  for (const std::string& text : malformed) {
    std::string error;
    EXPECT_FALSE(ParseStatusReport(text, error)) << text;
    EXPECT_EQ(ReadAll(Frame(text), 2), std::vector<std::string>{"refused: " + error}) << text;
  }
  // Items too long to be what they stand for are refused as such, whatever
  // is kept of them.
  const std::string longNumber = "UPDATE_STATUS " + std::string(100, '1') + " A 2.400 97 0 1536 Unassigned 2 2";
  EXPECT_EQ(ReadAll(Frame(longNumber), 7), std::vector<std::string>{"refused: item 2 (version) is not a number"});
  const std::string longCommand = std::string(100, 'U') + " 265 A 2.400 97 0 1536 Unassigned 2 2";
  EXPECT_EQ(ReadAll(Frame(longCommand), 7), std::vector<std::string>{"refused: not an UPDATE_STATUS report"});
  // A bad escape far into a long text is still seen.
  const std::string lateEscape =
      "UPDATE_STATUS 265 A 2.400 97 0 1536 " + std::string(5000, 'x') + "%g0 2 2";
  EXPECT_EQ(ReadAll(Frame(lateEscape), 100).at(0).rfind("refused: a malformed name or status text: ", 0), 0u);
}

TEST(ReportReader, AFrameBeyondTheBoundIsRefusedFromItsLengthAlone) {
  EXPECT_EQ(ReadAll(std::string("\x00\x00\x40\x06", 4) + "UPDATE_STATUS", 3),
            std::vector<std::string>{"too long: 104857600"});
  EXPECT_EQ(ReadAll(std::string("\xff\xff\xff\xff", 4), 1), std::vector<std::string>{"too long: -1"});
  // Just within the bound: taken, and only its kept parts held.
  const std::string big = "UPDATE_STATUS 265 A 2.400 97 0 1536 " + std::string(kBound - 64, 'x') + " 2 2";
  std::vector<size_t> statusBytes;
  EXPECT_EQ(ReadAll(Frame(big), 1 << 16, nullptr, &statusBytes), std::vector<std::string>{"report"});
  EXPECT_EQ(statusBytes.at(0), size_t{kBound - 64});
}

namespace {

TAgentReport Report(const std::string& name, uint32_t idle) { return SampleReport(name, idle, 0, "Unassigned"); }

}  // namespace

TEST(RegistryBound, ANewAgentBeyondMaxAgentsTakesALostOnesPlaceOrIsRefused) {
  int64_t now = 1'000'000'000'000;
  TAgentRegistry registry([&] { return now; }, 10000, 3);
  std::vector<uint64_t> keys;
  for (int i = 1; i <= 3; ++i) {
    now += 1000;
    keys.push_back(registry.Connected("10.0.0." + std::to_string(i)));
    EXPECT_TRUE(registry.Report(keys.back(), Report("A" + std::to_string(i), 50)));
  }
  const uint64_t fourth = registry.Connected("10.0.0.4");
  EXPECT_FALSE(registry.Report(fourth, Report("A4", 50)));
  EXPECT_EQ(registry.Snapshot().Agents.size(), 3u);
  // Agents already known go on reporting.
  EXPECT_TRUE(registry.Report(keys[1], Report("A2", 40)));

  now += 1000;
  registry.Closed(keys[0], "connection closed");
  now += 1000;
  registry.Closed(keys[2], "connection closed");
  EXPECT_TRUE(registry.Report(fourth, Report("A4", 50)));
  const TRegistrySnapshot snapshot = registry.Snapshot();
  ASSERT_EQ(snapshot.Agents.size(), 3u);
  // The one lost longest ago made room.
  EXPECT_EQ(snapshot.Agents[0].Address, "10.0.0.2");
  EXPECT_EQ(snapshot.Agents[1].Address, "10.0.0.3");
  EXPECT_EQ(snapshot.Agents[2].Address, "10.0.0.4");
  // It comes back as a new agent, when there is room.
  const uint64_t back = registry.Connected("10.0.0.1");
  EXPECT_TRUE(registry.Report(back, Report("A1", 50)));
  EXPECT_EQ(registry.Snapshot().Agents.size(), 3u);
}

TEST(AgentsPage, APageOfTheAgentsThatMatchInTheOrderAskedWithTotalsOfAll) {
  const int64_t now = 1'000'000'000'000;
  TAgentRegistry registry([&] { return now; }, 10000);
  const struct {
    const char* Address;
    const char* Name;
    uint32_t Idle;
  } agents[] = {{"10.0.0.12", "lab-b", 10}, {"10.0.0.7", "lab-a", 70}, {"10.0.0.30", "office", 40},
                {"10.0.0.9", "LAB-C", 95}, {"10.0.0.10", "gone", 0}};
  uint64_t last = 0;
  for (const auto& agent : agents) {
    last = registry.Connected(agent.Address);
    registry.Report(last, Report(agent.Name, agent.Idle));
  }
  registry.Closed(last, "connection closed");
  const auto page = [&](const std::string& query) {
    nlohmann::json document;
    registry.Read([&](const TRegistryView& view) {
      document = nlohmann::json::parse(AgentsJson(view, 4102, ParseAgentsQuery(query)));
    });
    std::vector<std::string> names;
    for (const auto& agent : document["agents"]) names.push_back(agent["name"]);
    return std::make_pair(document, names);
  };
  using TNames = std::vector<std::string>;
  auto [all, byAddress] = page("");
  EXPECT_EQ(byAddress, (TNames{"gone", "lab-b", "office", "lab-a", "LAB-C"}));  // as the registry keeps them
  EXPECT_EQ(all["agents_up"], 4);
  EXPECT_EQ(all["agents_known"], 5);
  EXPECT_EQ(all["processors_up"], 4 * 8);
  EXPECT_EQ(all["pool_threads_up"], 4 * 6);
  EXPECT_EQ(all["load_percent_up"], (90 + 30 + 60 + 5 + 2) / 4);

  EXPECT_EQ(page("sort=address&limit=2").second, (TNames{"lab-a", "LAB-C"}));  // numeric order
  EXPECT_EQ(page("sort=address&limit=2&offset=2").second, (TNames{"gone", "lab-b"}));
  EXPECT_EQ(page("sort=load&order=desc&limit=3&state=up").second, (TNames{"lab-b", "office", "lab-a"}));
  auto [filtered, labs] = page("filter=LaB&sort=name&limit=50");
  EXPECT_EQ(labs, (TNames{"LAB-C", "lab-a", "lab-b"}));
  EXPECT_EQ(filtered["agents_matched"], 3);
  EXPECT_EQ(filtered["agents_known"], 5);
  EXPECT_EQ(page("state=lost&limit=5").second, TNames{"gone"});
  EXPECT_EQ(page("filter=connection+closed&limit=5").second, TNames{"gone"});  // a lost agent's reason
  auto [beyond, none] = page("offset=99&limit=5");
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(beyond["offset"], 5);
  // Anything else is ignored.
  EXPECT_EQ(page("limit=x&sort=colour&state=%zz&offset=-1").second.size(), 5u);
}

TEST(MonitorSettings, BoundsWhoReportsHowManyAndWhereThePageIsServed) {
  const TMonitorSettings defaults = ReadMonitorSettings(TIniFile());
  EXPECT_EQ(defaults.MaxAgents, 50000u);
  EXPECT_EQ(defaults.HttpBindIp, "127.0.0.1");
  EXPECT_TRUE(defaults.AllowedAgents.AllowsEveryone());
  EXPECT_EQ(defaults.Refusal, "");

  const TMonitorSettings set = ReadMonitorSettings(
      TIniFile("[monitor]\nmax_agents=20000\nhttp_bind_ip=\nallowed_agents=127.0.0.2, 10.1.0.0/16\n"));
  EXPECT_EQ(set.MaxAgents, 20000u);
  EXPECT_EQ(set.HttpBindIp, "");
  uint32_t address = 0;
  ASSERT_TRUE(TTcpSocket::ParseAddress("10.1.200.3", address));
  EXPECT_TRUE(set.AllowedAgents.Allows(address));
  ASSERT_TRUE(TTcpSocket::ParseAddress("127.0.0.3", address));
  EXPECT_FALSE(set.AllowedAgents.Allows(address));
  EXPECT_EQ(ReadMonitorSettings(TIniFile("[monitor]\nmax_agents=0\n")).MaxAgents, 50000u);

  EXPECT_EQ(ReadMonitorSettings(TIniFile("[monitor]\nallowed_agents=10.0.0.1, lab\n")).Refusal,
            "[monitor] allowed_agents=10.0.0.1, lab: 'lab' is no IPv4 address or address/prefix block; not "
            "starting rather than taking reports from every address");
}
