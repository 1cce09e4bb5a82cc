#include "Monitor/AgentReport.h"

std::optional<TAgentReport> ParseStatusReport(std::string_view, std::string& error) {
  error = "not built yet";
  return std::nullopt;
}
bool IsSuspended(std::string_view) { return false; }
