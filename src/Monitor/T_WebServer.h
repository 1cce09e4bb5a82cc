// SPDX-License-Identifier: Apache-2.0
// TWebServer: the monitor's HTTP side, on an event loop of its own thread.
//   /             a page with the counts and totals of the agents, then one
//                 page of them, sorted and filtered, with load charts,
//                 refreshing itself from /agents.json
//   /agents.json  the registry as JSON (see AgentsJson.h; a query picks a
//                 page of agents)
//   /metrics      the Prometheus text format
// It listens on [monitor] http_bind_ip (127.0.0.1 unless set). A request
// is bounded while it is read (kMaxHeaderBytes of header, kMaxBodyBytes of
// body) and in time (a whole request within kRequestSeconds, a whole answer
// within kAnswerSeconds); a client that trickles or stalls costs only its
// own connection. At most kMaxConnections at once; answers being sent hold
// at most kMaxAnswerBytes together (beyond, 503).
//
// Threads: the owner starts and stops; the loop thread serves. Port may be
// asked from any thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "Monitor/T_AgentRegistry.h"
#include "Monitor/T_MonitorSettings.h"
#include "Platform/T_Status.h"

class TWebServer {
 public:
  static constexpr size_t kMaxHeaderBytes = 8 * 1024;
  static constexpr size_t kMaxBodyBytes = 16 * 1024;
  static constexpr int kRequestSeconds = 10;
  static constexpr int kAnswerSeconds = 30;
  static constexpr size_t kMaxConnections = 2048;
  static constexpr size_t kMaxAnswerBytes = 128 * 1024 * 1024;

  // Both borrowed for the server's life.
  TWebServer(const TAgentRegistry& registry, const TMonitorSettings& settings);
  ~TWebServer();  // stops
  TWebServer(const TWebServer&) = delete;
  TWebServer& operator=(const TWebServer&) = delete;

  // Binds [monitor] http_bind_ip:http_port (port 0: any free port) and
  // starts serving. A failure says why ("http port 4106 is taken: ...").
  TStatus Start();
  uint16_t Port() const;  // the port bound, once started
  // Closes every connection.
  void Stop();

 private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl;
};
