// TStatusServer: takes the agents' status connections on [coordinator]
// bind_port and feeds their UPDATE_STATUS reports to the registry. Nothing
// is ever written back. A connection that sends a malformed report, a frame
// longer than kMaxReportBytes, or nothing for lost_after seconds is closed;
// it costs that connection only. At most kMaxConnections are served at once.
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
  static constexpr int32_t kMaxReportBytes = 64 * 1024;
  static constexpr int kMaxConnections = 4096;

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
  void Stop();

 private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl;
};
