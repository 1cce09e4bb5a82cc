// SPDX-License-Identifier: Apache-2.0
// One UPDATE_STATUS report of an agent, decoded. An agent sends one about
// every 1.2 s on its status connection: the command word, then nine items
// separated by one space (names and the status text encoded as arguments).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct TAgentReport {
  uint32_t Version = 0;        // the agent's version number (265)
  std::string ComputerName;    // may be empty
  double ProcessorGHz = 0;     // the processor's speed
  // Shares of the machine left idle and used by the agent's tasks, as the
  // agent measured them: its sampler's windows may differ a little, so
  // either may exceed 100, or go below zero and wrap (a value near 2^32).
  // Views take them through LoadPercent and SharePercent.
  uint32_t IdlePercent = 0;
  uint32_t AgentPercent = 0;
  uint32_t FreeMemoryMB = 0;
  std::string StatusText;      // the agent's status line, as its window shows it
  uint32_t ProcessorCount = 0;
  uint32_t PoolSize = 0;       // pool threads per session

  bool operator==(const TAgentReport&) const = default;
};

// The machine's load (100 - idle) and the agent's share, each within 0-100,
// from a report's IdlePercent and AgentPercent.
uint32_t LoadPercent(uint32_t idlePercent);
uint32_t SharePercent(uint32_t agentPercent);

// Decodes one report text. Nothing: the text is not a well-formed
// UPDATE_STATUS, and `error` says why ("not an UPDATE_STATUS report",
// "7 items, 10 expected", "item 5 (idle percent) is not a number", ...).
std::optional<TAgentReport> ParseStatusReport(std::string_view text, std::string& error);

// True when the status text says the agent holds its work back because its
// machine's owner keeps the processors busy (" [suspended, N]").
bool IsSuspended(std::string_view statusText);
