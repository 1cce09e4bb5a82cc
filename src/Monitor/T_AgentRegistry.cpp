#include "Monitor/T_AgentRegistry.h"

#include <algorithm>
#include <tuple>

size_t TRegistrySnapshot::AgentsUp() const {
  return static_cast<size_t>(std::count_if(Agents.begin(), Agents.end(), [](const TAgentView& a) { return a.Up; }));
}

TAgentRegistry::TAgentRegistry(std::function<int64_t()> clock, int64_t lostAfterMs)
    : Clock(std::move(clock)), LostAfterMs(lostAfterMs) {}

uint64_t TAgentRegistry::Connected(const std::string& address) {
  TMutexLock guard(Lock);
  ++ConnectionsAccepted;
  const uint64_t key = NextKey++;
  ConnectionAddresses[key] = address;
  return key;
}

bool TAgentRegistry::IsUp(const TRecord& record, int64_t now) const {
  return record.Connection != 0 && now - record.View.LastReportUnixMs <= LostAfterMs;
}

// The record a report on `key` goes to: the connection's own once it has
// reported; else a record of the same address and computer name that is not
// up (the agent came back); else a new one.
TAgentRegistry::TRecord& TAgentRegistry::RecordFor(uint64_t key, const TAgentReport& report) {
  const int64_t now = Clock();
  if (auto known = ConnectionAgents.find(key); known != ConnectionAgents.end()) {
    for (TRecord& record : Records)
      if (record.View.Id == known->second) return record;
  }
  const std::string& address = ConnectionAddresses[key];
  auto returning = std::find_if(Records.begin(), Records.end(), [&](const TRecord& record) {
    return record.View.Address == address && record.View.Latest.ComputerName == report.ComputerName &&
           !IsUp(record, now);
  });
  if (returning == Records.end()) {
    if (Records.size() >= kMaxRecords) {
      // Make room by forgetting the agent lost longest ago, if any is lost.
      auto oldest = Records.end();
      for (auto record = Records.begin(); record != Records.end(); ++record)
        if (!IsUp(*record, now) && (oldest == Records.end() || record->View.LastReportUnixMs < oldest->View.LastReportUnixMs))
          oldest = record;
      if (oldest != Records.end()) Records.erase(oldest);
    }
    TRecord fresh;
    fresh.View.Id = NextId++;
    fresh.View.Address = address;
    fresh.View.FirstSeenUnixMs = now;
    Records.push_back(std::move(fresh));
    returning = Records.end() - 1;
  } else if (returning->Connection != 0) {
    ConnectionAgents.erase(returning->Connection);  // its old connection went silent
  }
  returning->Connection = key;
  returning->View.LostReason.clear();
  ConnectionAgents[key] = returning->View.Id;
  return *returning;
}

void TAgentRegistry::Report(uint64_t key, const TAgentReport& report) {
  TMutexLock guard(Lock);
  if (!ConnectionAddresses.contains(key)) return;  // closed already
  const int64_t now = Clock();
  TRecord& record = RecordFor(key, report);
  ++ReportsReceived;
  TAgentView& view = record.View;
  view.Latest = report;
  view.LastReportUnixMs = now;
  ++view.Reports;

  const int64_t slot = now - now % kHistorySlotMs;
  if (view.History.empty() || view.History.back().UnixMs != slot) {
    view.History.push_back({slot, 0, 0});
    record.SlotBusySum = record.SlotAgentSum = record.SlotReports = 0;
  }
  record.SlotBusySum += LoadPercent(report.IdlePercent);
  record.SlotAgentSum += SharePercent(report.AgentPercent);
  ++record.SlotReports;
  view.History.back().BusyPercent = static_cast<uint32_t>(record.SlotBusySum / record.SlotReports);
  view.History.back().AgentPercent = static_cast<uint32_t>(record.SlotAgentSum / record.SlotReports);
  const auto stale = std::find_if(view.History.begin(), view.History.end(),
                                  [&](const TLoadPoint& point) { return point.UnixMs > now - kHistoryMs; });
  view.History.erase(view.History.begin(), stale);
}

void TAgentRegistry::Rejected(uint64_t) {
  TMutexLock guard(Lock);
  ++ReportsRejected;
}

void TAgentRegistry::Closed(uint64_t key, const std::string& why) {
  TMutexLock guard(Lock);
  ConnectionAddresses.erase(key);
  auto known = ConnectionAgents.find(key);
  if (known == ConnectionAgents.end()) return;
  for (TRecord& record : Records) {
    if (record.View.Id == known->second && record.Connection == key) {
      record.Connection = 0;
      record.View.LostReason = why;
    }
  }
  ConnectionAgents.erase(known);
}

void TAgentRegistry::DiscoveryAnswered() {
  TMutexLock guard(Lock);
  ++DiscoveryAnswers;
}

TRegistrySnapshot TAgentRegistry::Snapshot() const {
  TMutexLock guard(Lock);
  TRegistrySnapshot snapshot;
  snapshot.NowUnixMs = Clock();
  snapshot.ReportsReceived = ReportsReceived;
  snapshot.ReportsRejected = ReportsRejected;
  snapshot.ConnectionsAccepted = ConnectionsAccepted;
  snapshot.DiscoveryAnswers = DiscoveryAnswers;
  for (const TRecord& record : Records) {
    TAgentView view = record.View;
    view.Up = IsUp(record, snapshot.NowUnixMs);
    if (!view.Up && view.LostReason.empty())
      view.LostReason = "silent for " + std::to_string((snapshot.NowUnixMs - view.LastReportUnixMs) / 1000) + " s";
    std::erase_if(view.History, [&](const TLoadPoint& point) { return point.UnixMs <= snapshot.NowUnixMs - kHistoryMs; });
    snapshot.Agents.push_back(std::move(view));
  }
  std::sort(snapshot.Agents.begin(), snapshot.Agents.end(), [](const TAgentView& a, const TAgentView& b) {
    return std::tie(a.Address, a.Latest.ComputerName, a.Id) < std::tie(b.Address, b.Latest.ComputerName, b.Id);
  });
  return snapshot;
}
