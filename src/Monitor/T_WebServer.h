// TWebServer: the monitor's HTTP side, on its own thread pool.
//   /             a page with a table of agents and a load chart per agent,
//                 refreshing itself from /agents.json
//   /agents.json  the registry's snapshot (see AgentsJson.h)
//   /metrics      the Prometheus text format
#pragma once

#include <memory>
#include <string>

#include "Monitor/T_AgentRegistry.h"
#include "Monitor/T_MonitorSettings.h"
#include "Platform/T_Status.h"

class TWebServer {
 public:
  // Both borrowed for the server's life.
  TWebServer(const TAgentRegistry& registry, const TMonitorSettings& settings);
  ~TWebServer();  // stops
  TWebServer(const TWebServer&) = delete;
  TWebServer& operator=(const TWebServer&) = delete;

  // Binds [monitor] bind_ip:http_port (port 0: any free port) and starts
  // serving. A failure says why ("http port 4106 is taken: ...").
  TStatus Start();
  uint16_t Port() const;  // the port bound, once started
  void Stop();

 private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl;
};
