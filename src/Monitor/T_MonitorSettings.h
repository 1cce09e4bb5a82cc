// SPDX-License-Identifier: Apache-2.0
// The monitor's settings: an INI file with the agents' own key names for
// the ports they share, so one file can describe a grid to both.
//
//   [coordinator] bind_port=4100       status connections from agents (TCP)
//   [coordinator] broadcast_port=4105  discovery datagrams from agents (UDP)
//   [agent] broadcast_port=4104        where discovery answers go (UDP)
//   [agent] bind_port=4102             the agents' lobby port, as agents.json gives it
//   [monitor] bind_ip=                 the one local address for status and discovery; empty: all
//   [monitor] allowed_agents=          addresses and blocks ("10.1.0.0/16") whose reports and
//                                      discovery datagrams are taken, as [agent] allowed_users;
//                                      empty: every address
//   [monitor] max_agents=50000         agents kept (up, or lost and not yet forgotten)
//   [monitor] http_bind_ip=127.0.0.1   the local address of the web server; empty: all
//   [monitor] http_port=4106           the web page, /agents.json and /metrics
//   [monitor] lost_after=10            seconds of silence after which an agent is lost
//   [monitor] answer_discovery=1       0: agents must be given the monitor's address
//
// Numbers follow kelvra.INI's rules: decimal, or hexadecimal after 0x or $;
// ports keep the low 16 bits; a value that is not a number gives the default.
#pragma once

#include <cstdint>
#include <string>

#include "Common/T_AddressFilter.h"
#include "Common/T_IniFile.h"

struct TMonitorSettings {
  uint16_t StatusPort = 4100;
  uint16_t DiscoveryPort = 4105;
  uint16_t AnswerPort = 4104;
  uint16_t AgentLobbyPort = 4102;
  std::string BindIp;
  TAddressFilter AllowedAgents;
  std::string AllowedAgentsText;
  size_t MaxAgents = 50000;  // at least 1
  std::string HttpBindIp = "127.0.0.1";
  uint16_t HttpPort = 4106;
  int LostAfterSeconds = 10;  // 2 to 86400
  bool AnswerDiscovery = true;
  // Why the monitor must not start with these settings (a malformed
  // allowed_agents entry: serving every address instead would be worse);
  // empty when it may.
  std::string Refusal;
};

TMonitorSettings ReadMonitorSettings(const TIniFile& file);
