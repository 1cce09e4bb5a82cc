// SPDX-License-Identifier: Apache-2.0
// Helpers of the monitor's view tests: a report as an agent sends one, and
// a registry with its web server on a free loopback port.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Monitor/AgentReport.h"
#include "Monitor/T_AgentRegistry.h"
#include "Monitor/T_WebServer.h"

// A report of an 8-processor machine at 2.4 GHz with 1536 MB free and a
// pool of 6, with the load and texts given.
inline TAgentReport SampleReport(const std::string& name, uint32_t idle, uint32_t agent, const std::string& status) {
  TAgentReport report;
  report.Version = 265;
  report.ComputerName = name;
  report.ProcessorGHz = 2.4;
  report.IdlePercent = idle;
  report.AgentPercent = agent;
  report.FreeMemoryMB = 1536;
  report.StatusText = status;
  report.ProcessorCount = 8;
  report.PoolSize = 6;
  return report;
}

// A registry as a monitor keeps it, on `clock`, served on 127.0.0.1 at a
// free port; agents.json gives `lobbyPort` as the agents' lobby port.
struct TServedRegistry {
  TServedRegistry(std::function<int64_t()> clock, uint16_t lobbyPort) : Registry(std::move(clock), 10000) {
    Settings.BindIp = "127.0.0.1";
    Settings.HttpPort = 0;
    Settings.AgentLobbyPort = lobbyPort;
    Started = Server.Start().Ok();
  }
  // A connection from `address` that has sent `report`; its key.
  uint64_t Feed(const std::string& address, const TAgentReport& report) {
    const uint64_t key = Registry.Connected(address);
    Registry.Report(key, report);
    return key;
  }
  std::string Host() const { return "127.0.0.1:" + std::to_string(Server.Port()); }

  TAgentRegistry Registry;
  TMonitorSettings Settings;
  TWebServer Server{Registry, Settings};
  bool Started = false;
};
