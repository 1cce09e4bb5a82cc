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
  uint32_t IdlePercent = 0;    // share of the machine left idle
  uint32_t AgentPercent = 0;   // share of the machine the agent's tasks use
  uint32_t FreeMemoryMB = 0;
  std::string StatusText;      // the agent's status line, as its window shows it
  uint32_t ProcessorCount = 0;
  uint32_t PoolSize = 0;       // pool threads per session

  bool operator==(const TAgentReport&) const = default;
};

// Decodes one report text. Nothing: the text is not a well-formed
// UPDATE_STATUS, and `error` says why ("not an UPDATE_STATUS report",
// "7 items, 10 expected", "item 5 (idle percent) is not a number", ...).
std::optional<TAgentReport> ParseStatusReport(std::string_view text, std::string& error);

// True when the status text says the agent holds its work back because its
// machine's owner keeps the processors busy (" [suspended, N]").
bool IsSuspended(std::string_view statusText);
