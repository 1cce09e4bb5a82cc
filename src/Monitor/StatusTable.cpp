// SPDX-License-Identifier: Apache-2.0
#include "Monitor/StatusTable.h"

#include <algorithm>
#include <array>

#include "Monitor/AgentReport.h"

namespace {

constexpr size_t kColumns = 9;
// Columns after the first two hold numbers: right-aligned. The status text
// is last and left as long as it is.
constexpr std::array<const char*, kColumns> kHeader = {"ADDRESS", "NAME",        "CPUS",       "POOL",  "LOAD",
                                                       "AGENT",   "FREE MEMORY", "LAST REPORT", "STATUS"};
constexpr size_t kFirstNumber = 2;
constexpr size_t kStatus = kColumns - 1;

// A text from an agent as a terminal may show it: control bytes (which
// could move the cursor or change colours) become '?'.
std::string Printable(const std::string& text) {
  std::string shown = text;
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return shown;
}

// Characters on the screen: UTF-8 continuation bytes take no room.
size_t Width(const std::string& text) {
  return static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xc0) != 0x80; }));
}

std::string Age(int64_t now, int64_t then) {
  const int64_t seconds = std::max<int64_t>(0, (now - then + 500) / 1000);
  if (seconds < 120) return std::to_string(seconds) + " s ago";
  if (seconds < 7200) return std::to_string((seconds + 30) / 60) + " min ago";
  return std::to_string((seconds + 1800) / 3600) + " h ago";
}

}  // namespace

std::string FormatStatusTable(const TAgentList& list) {
  if (list.Agents.empty()) return "no agent has reported to this monitor yet\n";
  std::vector<std::array<std::string, kColumns>> rows = {{}};
  std::copy(kHeader.begin(), kHeader.end(), rows[0].begin());
  size_t up = 0;
  for (const TListedAgent& agent : list.Agents) {
    up += agent.Up ? 1 : 0;
    rows.push_back({Printable(agent.Address), Printable(agent.Name), std::to_string(agent.Processors),
                    std::to_string(agent.PoolSize), std::to_string(LoadPercent(agent.IdlePercent)) + " %",
                    std::to_string(SharePercent(agent.AgentPercent)) + " %", std::to_string(agent.FreeMemoryMB) + " MB",
                    Age(list.NowUnixMs, agent.LastReportUnixMs),
                    agent.Up ? Printable(agent.Status) : "lost: " + Printable(agent.LostReason)});
  }
  std::array<size_t, kColumns> widths{};
  for (const auto& row : rows)
    for (size_t column = 0; column < kColumns; ++column) widths[column] = std::max(widths[column], Width(row[column]));
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (size_t column = 0; column < kColumns; ++column) {
      const std::string padding(widths[column] - Width(row[column]), ' ');
      if (column > 0) line += "  ";
      if (column == kStatus) line += row[column];
      else if (column >= kFirstNumber) line += padding + row[column];
      else line += row[column] + padding;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  const size_t lost = list.Agents.size() - up;
  out += std::to_string(up) + (up == 1 ? " agent" : " agents") + " up, " + std::to_string(lost) + " lost\n";
  return out;
}
