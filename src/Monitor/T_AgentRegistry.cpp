// SPDX-License-Identifier: Apache-2.0
#include "Monitor/T_AgentRegistry.h"

#include <algorithm>
#include <tuple>

size_t TRegistrySnapshot::AgentsUp() const {
  return static_cast<size_t>(std::count_if(Agents.begin(), Agents.end(), [](const TAgentView& a) { return a.Up; }));
}

size_t TRegistryView::AgentsUp() const {
  return static_cast<size_t>(std::count_if(Agents.begin(), Agents.end(), [](const TAgentView* a) { return a->Up; }));
}

TAgentRegistry::TAgentRegistry(std::function<int64_t()> clock, int64_t lostAfterMs, size_t maxAgents)
    : Clock(std::move(clock)), LostAfterMs(lostAfterMs), MaxAgents(std::max<size_t>(1, maxAgents)) {}

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

// Forgets the agent lost longest ago, if any is lost.
bool TAgentRegistry::MakeRoom(int64_t now) {
  auto oldest = Records.end();
  for (auto record = Records.begin(); record != Records.end(); ++record)
    if (!IsUp(record->second, now) &&
        (oldest == Records.end() || record->second.View.LastReportUnixMs < oldest->second.View.LastReportUnixMs))
      oldest = record;
  if (oldest == Records.end()) return false;
  TRecord& gone = oldest->second;
  if (gone.Connection != 0) ConnectionAgents.erase(gone.Connection);
  std::vector<uint64_t>& ids = IdsByAddress[gone.View.Address];
  std::erase(ids, gone.View.Id);
  if (ids.empty()) IdsByAddress.erase(gone.View.Address);
  Records.erase(oldest);
  return true;
}

// The record a report on `key` goes to: the connection's own once it has
// reported; else a record of the same address and computer name that is not
// up (the agent came back); else a new one, when there is room.
TAgentRegistry::TRecord* TAgentRegistry::RecordFor(uint64_t key, const TAgentReport& report) {
  const int64_t now = Clock();
  if (auto known = ConnectionAgents.find(key); known != ConnectionAgents.end()) {
    if (auto record = Records.find(known->second); record != Records.end()) return &record->second;
  }
  const std::string& address = ConnectionAddresses[key];
  TRecord* returning = nullptr;
  if (auto ids = IdsByAddress.find(address); ids != IdsByAddress.end()) {
    for (uint64_t id : ids->second) {
      TRecord& record = Records.at(id);
      if (record.View.Latest.ComputerName == report.ComputerName && !IsUp(record, now)) {
        returning = &record;
        break;
      }
    }
  }
  if (returning == nullptr) {
    if (Records.size() >= MaxAgents && !MakeRoom(now)) return nullptr;
    const uint64_t id = NextId++;
    returning = &Records[id];
    returning->View.Id = id;
    returning->View.Address = address;
    returning->View.FirstSeenUnixMs = now;
    IdsByAddress[address].push_back(id);
  } else if (returning->Connection != 0) {
    ConnectionAgents.erase(returning->Connection);  // its old connection went silent
  }
  returning->Connection = key;
  returning->View.LostReason.clear();
  ConnectionAgents[key] = returning->View.Id;
  return returning;
}

bool TAgentRegistry::Report(uint64_t key, const TAgentReport& report, size_t statusBytes) {
  TMutexLock guard(Lock);
  if (!ConnectionAddresses.contains(key)) return true;  // closed already
  const int64_t now = Clock();
  TRecord* found = RecordFor(key, report);
  if (found == nullptr) return false;
  TRecord& record = *found;
  ++ReportsReceived;
  TAgentView& view = record.View;
  view.Latest = report;
  view.StatusBytes = statusBytes != 0 ? statusBytes : report.StatusText.size();
  view.LastReportUnixMs = now;
  ++view.Reports;

  const int64_t slot = now - now % kHistorySlotMs;
  if (view.History.empty() || view.History.back().UnixMs != slot) {
    view.History.push_back({slot, 0, 0});
    record.SlotBusySum = record.SlotAgentSum = record.SlotReports = 0;
    const auto stale = std::find_if(view.History.begin(), view.History.end(),
                                    [&](const TLoadPoint& point) { return point.UnixMs > now - kHistoryMs; });
    view.History.erase(view.History.begin(), stale);
  }
  record.SlotBusySum += LoadPercent(report.IdlePercent);
  record.SlotAgentSum += SharePercent(report.AgentPercent);
  ++record.SlotReports;
  view.History.back().BusyPercent = static_cast<uint32_t>(record.SlotBusySum / record.SlotReports);
  view.History.back().AgentPercent = static_cast<uint32_t>(record.SlotAgentSum / record.SlotReports);
  return true;
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
  if (auto record = Records.find(known->second); record != Records.end() && record->second.Connection == key) {
    record->second.Connection = 0;
    record->second.View.LostReason = why;
  }
  ConnectionAgents.erase(known);
}

void TAgentRegistry::DiscoveryAnswered() {
  TMutexLock guard(Lock);
  ++DiscoveryAnswers;
}

void TAgentRegistry::Read(const std::function<void(const TRegistryView&)>& read) const {
  TMutexLock guard(Lock);
  TRegistryView view;
  view.NowUnixMs = Clock();
  view.ReportsReceived = ReportsReceived;
  view.ReportsRejected = ReportsRejected;
  view.ConnectionsAccepted = ConnectionsAccepted;
  view.DiscoveryAnswers = DiscoveryAnswers;
  view.Agents.reserve(Records.size());
  for (auto& [id, record] : Records) {
    TAgentView& agent = record.View;
    agent.Up = IsUp(record, view.NowUnixMs);
    // Still connected but silent: the reason grows with the silence.
    if (!agent.Up && record.Connection != 0)
      agent.LostReason = "silent for " + std::to_string((view.NowUnixMs - agent.LastReportUnixMs) / 1000) + " s";
    // History older than ten minutes stays until the agent's next report.
    const auto stale = std::find_if(agent.History.begin(), agent.History.end(), [&](const TLoadPoint& point) {
      return point.UnixMs > view.NowUnixMs - kHistoryMs;
    });
    agent.History.erase(agent.History.begin(), stale);
    view.Agents.push_back(&agent);
  }
  std::sort(view.Agents.begin(), view.Agents.end(), [](const TAgentView* a, const TAgentView* b) {
    return std::tie(a->Address, a->Latest.ComputerName, a->Id) < std::tie(b->Address, b->Latest.ComputerName, b->Id);
  });
  read(view);
}

TRegistrySnapshot TAgentRegistry::Snapshot() const {
  TRegistrySnapshot snapshot;
  Read([&](const TRegistryView& view) {
    static_cast<TRegistryTotals&>(snapshot) = view;
    snapshot.Agents.reserve(view.Agents.size());
    for (const TAgentView* agent : view.Agents) snapshot.Agents.push_back(*agent);
  });
  return snapshot;
}
