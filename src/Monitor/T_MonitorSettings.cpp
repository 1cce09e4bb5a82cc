// SPDX-License-Identifier: Apache-2.0
#include "Monitor/T_MonitorSettings.h"

#include <algorithm>
#include <optional>

namespace {

constexpr int kMinLostAfterSeconds = 2;
// A day: the time-out of a read, in milliseconds, stays within an int.
constexpr int kMaxLostAfterSeconds = 86400;

// The number of `key` in `section`, when it is there and is one.
std::optional<int32_t> ReadNumber(const TIniFile& file, const char* section, const char* key) {
  std::optional<std::string> text = file.ReadString(section, key);
  return text ? ParseIniInteger(*text) : std::nullopt;
}

void ReadPort(const TIniFile& file, const char* section, const char* key, uint16_t& port) {
  if (std::optional<int32_t> number = ReadNumber(file, section, key)) port = static_cast<uint16_t>(*number);
}

}  // namespace

TMonitorSettings ReadMonitorSettings(const TIniFile& file) {
  TMonitorSettings settings;
  ReadPort(file, "coordinator", "bind_port", settings.StatusPort);
  ReadPort(file, "coordinator", "broadcast_port", settings.DiscoveryPort);
  ReadPort(file, "agent", "broadcast_port", settings.AnswerPort);
  ReadPort(file, "agent", "bind_port", settings.AgentLobbyPort);
  ReadPort(file, "monitor", "http_port", settings.HttpPort);
  if (std::optional<std::string> bindIp = file.ReadString("monitor", "bind_ip")) settings.BindIp = *bindIp;
  if (std::optional<std::string> httpBindIp = file.ReadString("monitor", "http_bind_ip"))
    settings.HttpBindIp = *httpBindIp;
  if (std::optional<int32_t> maxAgents = ReadNumber(file, "monitor", "max_agents"); maxAgents && *maxAgents >= 1)
    settings.MaxAgents = static_cast<size_t>(*maxAgents);
  if (std::optional<std::string> allowed = file.ReadString("monitor", "allowed_agents")) {
    std::string bad;
    if (std::optional<TAddressFilter> filter = TAddressFilter::Parse(*allowed, bad)) {
      settings.AllowedAgents = std::move(*filter);
      settings.AllowedAgentsText = *allowed;
    } else {
      settings.Refusal = "[monitor] allowed_agents=" + *allowed + ": '" + bad +
                         "' is no IPv4 address or address/prefix block; not starting rather than taking reports "
                         "from every address";
    }
  }
  if (std::optional<int32_t> lostAfter = ReadNumber(file, "monitor", "lost_after"))
    settings.LostAfterSeconds = *lostAfter;
  // A report comes about every 1.2 s: less than two seconds would lose
  // agents that are merely a little late.
  settings.LostAfterSeconds = std::clamp<int>(settings.LostAfterSeconds, kMinLostAfterSeconds, kMaxLostAfterSeconds);
  if (std::optional<int32_t> answer = ReadNumber(file, "monitor", "answer_discovery"))
    settings.AnswerDiscovery = *answer != 0;
  return settings;
}
