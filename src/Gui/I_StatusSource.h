// SPDX-License-Identifier: Apache-2.0
// IStatusSource: what the status window shows, read once a second on the
// main thread. The real one reads the agent core (TAgentStatusSource);
// tests pass a fake, so the window never needs a running agent.
#pragma once

#include <string>

class IStatusSource {
 public:
  virtual ~IStatusSource() = default;

  // The agent's one-line status text ("Unassigned", "Working for ...").
  virtual std::string StatusText() const = 0;
  // The machine's idle processor capacity, in whole percent.
  virtual int IdlePercent() const = 0;
  // The agent process's share of the processor capacity, in whole percent.
  virtual int AgentPercent() const = 0;
  // The number of pool threads the agent may use.
  virtual int PoolSize() const = 0;
};
