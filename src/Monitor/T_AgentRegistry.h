// SPDX-License-Identifier: Apache-2.0
// TAgentRegistry: what the monitor knows about the agents that report to it.
// The status connections feed it (one key per connection), the web server
// and the metrics read it in place (Read) or as copies (Snapshot). An agent
// is known by its address and computer name: a record lives on after its
// connection ends (marked lost) and is taken up again when the same agent
// reports anew. At most max_agents records are kept, each of bounded size
// (the texts as TReportReader keeps them, ten minutes of history).
//
// Threads: any thread; one lock (a leaf) guards everything.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Monitor/AgentReport.h"
#include "Platform/T_Mutex.h"

// One point of an agent's load chart: the mean of the reports received in
// one slot of kHistorySlotMs.
struct TLoadPoint {
  int64_t UnixMs = 0;           // the slot's start
  uint32_t BusyPercent = 0;     // 100 - IdlePercent: the machine's load
  uint32_t AgentPercent = 0;    // the agent's own share of it
  bool operator==(const TLoadPoint&) const = default;
};

// One agent as a snapshot shows it.
struct TAgentView {
  uint64_t Id = 0;              // stable for the monitor's life
  std::string Address;          // the IPv4 address its reports come from
  TAgentReport Latest;          // its latest report (its status text cut for display)
  size_t StatusBytes = 0;       // the length of that status text as sent, decoded
  int64_t FirstSeenUnixMs = 0;
  int64_t LastReportUnixMs = 0;
  uint64_t Reports = 0;         // reports received from it
  bool Up = false;              // reporting; false: lost
  std::string LostReason;       // when lost: "connection closed", "silent for 10 s", ...
  std::vector<TLoadPoint> History;  // oldest first, the last kHistoryMs
};

struct TRegistryTotals {
  int64_t NowUnixMs = 0;
  uint64_t ReportsReceived = 0;     // well-formed reports, all agents
  uint64_t ReportsRejected = 0;     // malformed or oversized frames
  uint64_t ConnectionsAccepted = 0;
  uint64_t DiscoveryAnswers = 0;
};

// The registry as Read shows it, valid during the call only: the agents in
// place, by address, then computer name.
struct TRegistryView : TRegistryTotals {
  std::vector<const TAgentView*> Agents;
  size_t AgentsUp() const;
};

struct TRegistrySnapshot : TRegistryTotals {
  std::vector<TAgentView> Agents;   // by address, then computer name
  size_t AgentsUp() const;
};

class TAgentRegistry {
 public:
  static constexpr int64_t kHistorySlotMs = 5000;
  static constexpr int64_t kHistoryMs = 10 * 60 * 1000;

  // `clock` gives the time in Unix milliseconds (tests pass their own);
  // an agent silent for `lostAfterMs` counts as lost.
  static constexpr size_t kDefaultMaxAgents = 50000;

  // `clock` gives the time in Unix milliseconds (tests pass their own);
  // an agent silent for `lostAfterMs` counts as lost; at most `maxAgents`
  // records are kept.
  TAgentRegistry(std::function<int64_t()> clock, int64_t lostAfterMs, size_t maxAgents = kDefaultMaxAgents);
  TAgentRegistry(const TAgentRegistry&) = delete;
  TAgentRegistry& operator=(const TAgentRegistry&) = delete;

  // A status connection from `address` was accepted; the key names it in
  // the calls below.
  uint64_t Connected(const std::string& address) EXCLUDES(Lock);
  // A well-formed report arrived on connection `key`; its status text was
  // `statusBytes` long before it was cut (0: as long as it is). False when
  // it is a new agent and max_agents records are up: it is not kept.
  bool Report(uint64_t key, const TAgentReport& report, size_t statusBytes = 0) EXCLUDES(Lock);
  // A malformed or oversized frame arrived on `key` (the connection is then
  // dropped, and Closed follows).
  void Rejected(uint64_t key) EXCLUDES(Lock);
  // Connection `key` ended; its agent, if it reported, is lost for `why`.
  void Closed(uint64_t key, const std::string& why) EXCLUDES(Lock);
  // A discovery datagram was answered.
  void DiscoveryAnswered() EXCLUDES(Lock);

  // Everything as of now, in place: `read` runs once with the registry
  // held (so every report waits for it: write, do not wait, in it). Agents
  // silent for lostAfterMs show as lost.
  void Read(const std::function<void(const TRegistryView&)>& read) const EXCLUDES(Lock);
  // The same as a copy.
  TRegistrySnapshot Snapshot() const EXCLUDES(Lock);

 private:
  // An agent as kept: its view, the connection that feeds it (0: none),
  // and the sums of the history slot being filled.
  struct TRecord {
    TAgentView View;
    uint64_t Connection = 0;
    uint64_t SlotBusySum = 0;
    uint64_t SlotAgentSum = 0;
    uint64_t SlotReports = 0;
  };
  TRecord* RecordFor(uint64_t key, const TAgentReport& report) REQUIRES(Lock);
  bool MakeRoom(int64_t now) REQUIRES(Lock);
  bool IsUp(const TRecord& record, int64_t now) const;

  // Constant after construction.
  const std::function<int64_t()> Clock;
  const int64_t LostAfterMs;
  const size_t MaxAgents;

  mutable TMutex Lock;
  std::unordered_map<uint64_t, uint64_t> ConnectionAgents GUARDED_BY(Lock);  // connection key -> agent id
  std::unordered_map<uint64_t, std::string> ConnectionAddresses GUARDED_BY(Lock);
  // By id; a reader sets their views' Up and LostReason as of its time.
  mutable std::unordered_map<uint64_t, TRecord> Records GUARDED_BY(Lock);
  std::unordered_map<std::string, std::vector<uint64_t>> IdsByAddress GUARDED_BY(Lock);
  uint64_t NextKey GUARDED_BY(Lock) = 1;
  uint64_t NextId GUARDED_BY(Lock) = 1;
  uint64_t ReportsReceived GUARDED_BY(Lock) = 0;
  uint64_t ReportsRejected GUARDED_BY(Lock) = 0;
  uint64_t ConnectionsAccepted GUARDED_BY(Lock) = 0;
  uint64_t DiscoveryAnswers GUARDED_BY(Lock) = 0;
};
