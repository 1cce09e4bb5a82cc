// TDiscoveryResponder: hears the agents' one-byte discovery datagrams on
// [coordinator] broadcast_port and answers each sender, by unicast to its
// address at [agent] broadcast_port, so that an agent searching for its
// coordinator takes this machine's address. At most one answer per sender
// address per second; nothing is ever broadcast.
#pragma once

#include <cstdint>
#include <memory>

#include "Monitor/T_AgentRegistry.h"
#include "Monitor/T_MonitorSettings.h"
#include "Platform/I_DebugSink.h"
#include "Platform/T_Status.h"

class TDiscoveryResponder {
 public:
  TDiscoveryResponder(IDebugSink& log, TAgentRegistry& registry, const TMonitorSettings& settings);
  ~TDiscoveryResponder();  // stops
  TDiscoveryResponder(const TDiscoveryResponder&) = delete;
  TDiscoveryResponder& operator=(const TDiscoveryResponder&) = delete;

  // Binds the discovery port (0: any free port) and starts the listening
  // thread. A failure says why ("discovery port 4105 is taken: ...").
  TStatus Start();
  uint16_t Port() const;
  void Stop();

 private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl;
};
