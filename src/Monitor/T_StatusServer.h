// SPDX-License-Identifier: Apache-2.0
// TStatusServer: takes the agents' status connections on [coordinator]
// bind_port and feeds their UPDATE_STATUS reports to the registry. Nothing
// is ever written back. Every connection is served by one event loop on
// one thread: a connection costs its socket and a reader of bounded size
// (TReportReader), however large its frames, so a report of any size an
// agent sends is taken. A connection from outside [monitor] allowed_agents
// is closed at once; one that sends a malformed report, a frame longer than
// kMaxReportBytes, or nothing for lost_after seconds (a frame must end
// within lost_after of its start) is closed; it costs that connection
// only. At most max_agents + kSpareConnections are served at once.
//
// Threads: the owner starts and stops; the loop thread ("Status") does the
// rest. Port may be asked from any thread.
#pragma once

#include <cstdint>
#include <memory>

#include "Monitor/T_AgentRegistry.h"
#include "Monitor/T_MonitorSettings.h"
#include "Platform/I_DebugSink.h"
#include "Platform/I_System.h"
#include "Platform/T_Status.h"

class TStatusServer {
 public:
  static constexpr int32_t kMaxReportBytes = 16 * 1024 * 1024;
  // Connections beyond max_agents: agents reconnecting while their old
  // connection is not yet seen closed, peers that have not reported yet.
  static constexpr size_t kSpareConnections = 1024;

  // All borrowed for the server's life; `log` takes one line per agent
  // event ("MONITOR: ...").
  TStatusServer(ISystem& system, IDebugSink& log, TAgentRegistry& registry, const TMonitorSettings& settings);
  ~TStatusServer();  // stops
  TStatusServer(const TStatusServer&) = delete;
  TStatusServer& operator=(const TStatusServer&) = delete;

  // Listens on [monitor] bind_ip and [coordinator] bind_port (0: any free
  // port). A failure says why ("status port 4100 cannot be taken: ...").
  TStatus Start();
  uint16_t Port() const;
  // Closes every connection (their agents are lost: "monitor stopped").
  void Stop();

 private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl;
};
