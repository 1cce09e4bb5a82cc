// SPDX-License-Identifier: Apache-2.0
// TDataPortGuard: whom the grid's data port serves. It knows the address of
// each agent the grid has sessions with (its host name resolved once, as a
// session opens) and admits connections only from those addresses, a few
// per agent there; it takes a report only for a task in flight on the
// session of an agent at the connection's address; and it turns what the
// port refused into the board's warnings at a bounded rate, so that a flood
// costs a count, not a line each. An agent at a loopback address other than
// 127.0.0.1 is on this machine and connects back from 127.0.0.1, where the
// loopback route leaves from: it is at both.
//
// Threads: the agents' session threads record and forget addresses, the
// listener's accept thread admits, the data connections' threads check and
// refuse. Lock is a leaf: the board is asked and told outside it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Platform/T_Mutex.h"
#include "User/T_TaskBoard.h"

class TDataPortGuard {
 public:
  // Connections open at once from one agent's address: its session's, one
  // of a session that is ending, and spares.
  static constexpr int kConnectionsPerAgent = 4;
  // Refusals listed in full at once; then one more each kRefusalRefill.
  static constexpr int kRefusalBurst = 10;
  static constexpr std::chrono::seconds kRefusalRefill{6};

  // `board` is borrowed and outlives the guard; agents are named by their
  // index on it, 0 to `agents` - 1.
  TDataPortGuard(TTaskBoard& board, size_t agents);
  TDataPortGuard(const TDataPortGuard&) = delete;
  TDataPortGuard& operator=(const TDataPortGuard&) = delete;

  // --- an agent's session thread
  // A session with `agent` is being opened at `address` (network byte
  // order): the agent connects back from there as its session starts, even
  // before it answers the first command.
  void SessionOpening(size_t agent, uint32_t address) EXCLUDES(Lock);
  // The agent is given up: its address is served no more, unless another
  // agent is there.
  void AgentLost(size_t agent) EXCLUDES(Lock);

  // --- the data port's accept thread
  // Whether a connection from `address` is served, `open` being open from
  // there already. A refusal is a warning.
  bool Admit(uint32_t address, int open) EXCLUDES(Lock);

  // --- the data connections
  // Whether an agent of the grid is at `address`.
  bool Serves(uint32_t address) const EXCLUDES(Lock);
  // Whether a report of task `id` from `address` is taken: the task is in
  // flight on the session of an agent there.
  bool TakesReport(uint32_t address, uint32_t id) const EXCLUDES(Lock);
  // The port refused `what`: the warning "data port: <what>", unless more
  // came lately than are listed; those are counted, and the next warning
  // listed says how many were left out.
  void Refused(const std::string& what) EXCLUDES(Lock);

 private:
  using TClock = std::chrono::steady_clock;

  // Where an agent is: the address its session opened at, and the one it
  // connects back from (the same, or 127.0.0.1).
  struct TAgentAt {
    uint32_t Address = 0;
    uint32_t BackFrom = 0;
  };

  // The agents at `address`.
  std::vector<size_t> AgentsAtLocked(uint32_t address) const REQUIRES(Lock);

  TTaskBoard& Board;  // borrowed

  mutable TMutex Lock;
  // Each agent's address, from its first session's opening until it is lost.
  std::vector<std::optional<TAgentAt>> Addresses GUARDED_BY(Lock);
  // Refusals that may still be listed now, and when that was counted.
  double RefusalsAllowed GUARDED_BY(Lock) = kRefusalBurst;
  TClock::time_point CountedAt GUARDED_BY(Lock);
  uint64_t LeftOut GUARDED_BY(Lock) = 0;
};
