// SPDX-License-Identifier: Apache-2.0
#include "Monitor/AgentReport.h"

#include <algorithm>
#include <charconv>
#include <vector>

#include "Common/CommandText.h"

namespace {

constexpr size_t kItems = 10;

// The items of a report: separated by exactly one space each, so an empty
// computer name is an empty item (two spaces in a row).
std::vector<std::string_view> SplitOnSpaces(std::string_view text) {
  std::vector<std::string_view> items;
  for (;;) {
    const size_t space = text.find(' ');
    items.push_back(text.substr(0, space));
    if (space == std::string_view::npos || items.size() > kItems) return items;
    text.remove_prefix(space + 1);
  }
}

bool ParseUnsigned(std::string_view text, uint32_t& value) {
  if (text.empty()) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

// "2.400": digits, a full stop, digits; nothing else.
bool ParseDecimal(std::string_view text, double& value) {
  const size_t mark = text.find('.');
  std::string_view whole = text.substr(0, mark);
  std::string_view fraction = mark == std::string_view::npos ? std::string_view() : text.substr(mark + 1);
  uint32_t wholeValue = 0;
  if (!ParseUnsigned(whole, wholeValue)) return false;
  double scale = 1;
  double fractionValue = 0;
  if (mark != std::string_view::npos) {
    if (fraction.empty() || fraction.size() > 9) return false;
    uint32_t digits = 0;
    if (!ParseUnsigned(fraction, digits)) return false;
    for (size_t i = 0; i < fraction.size(); ++i) scale *= 10;
    fractionValue = digits / scale;
  }
  value = wholeValue + fractionValue;
  return true;
}

}  // namespace

std::optional<TAgentReport> ParseStatusReport(std::string_view text, std::string& error) {
  const std::vector<std::string_view> items = SplitOnSpaces(text);
  if (items[0] != "UPDATE_STATUS") {
    error = "not an UPDATE_STATUS report";
    return std::nullopt;
  }
  if (items.size() != kItems) {
    error = (items.size() > kItems ? std::string("more than ") + std::to_string(kItems)
                                   : std::to_string(items.size())) +
            " items, " + std::to_string(kItems) + " expected";
    return std::nullopt;
  }
  TAgentReport report;
  struct TNumber {
    size_t Item;
    const char* Name;
    uint32_t* Value;
  };
  const TNumber numbers[] = {{1, "version", &report.Version},          {4, "idle percent", &report.IdlePercent},
                             {5, "agent percent", &report.AgentPercent}, {6, "free memory", &report.FreeMemoryMB},
                             {8, "processor count", &report.ProcessorCount}, {9, "pool size", &report.PoolSize}};
  for (const TNumber& number : numbers) {
    if (!ParseUnsigned(items[number.Item], *number.Value)) {
      error = "item " + std::to_string(number.Item + 1) + " (" + number.Name + ") is not a number";
      return std::nullopt;
    }
  }
  if (!ParseDecimal(items[3], report.ProcessorGHz)) {
    error = "item 4 (processor speed) is not a decimal";
    return std::nullopt;
  }
  TStatus decoded = DecodeArgument(items[2], report.ComputerName);
  if (decoded) decoded = DecodeArgument(items[7], report.StatusText);
  if (!decoded) {
    error = "a malformed name or status text: " + decoded.Text();
    return std::nullopt;
  }
  return report;
}

namespace {

// A share as the agent computed it, in 32 bits: a value beyond 2^31 is one
// that went below zero.
uint32_t Within100(uint32_t share) { return static_cast<uint32_t>(std::clamp<int32_t>(static_cast<int32_t>(share), 0, 100)); }

}  // namespace

uint32_t LoadPercent(uint32_t idlePercent) { return 100 - Within100(idlePercent); }

uint32_t SharePercent(uint32_t agentPercent) { return Within100(agentPercent); }

bool IsSuspended(std::string_view statusText) { return statusText.find(" [suspended, ") != std::string_view::npos; }
