// SPDX-License-Identifier: Apache-2.0
// TDiscoveryResponder: hears the agents' one-byte discovery datagrams on
// [coordinator] broadcast_port and answers each sender, by unicast to its
// address at [agent] broadcast_port, so that an agent searching for its
// coordinator takes this machine's address. At most one answer per sender
// address per second; nothing is ever broadcast. A sender outside [monitor]
// allowed_agents is not answered. With [monitor] bind_ip
// set, answers leave from that address.
//
// Threads: the owner's thread starts and stops; one listening thread
// ("Discovery") receives and answers.
#pragma once

#include <cstdint>
#include <memory>

#include "Monitor/T_AgentRegistry.h"
#include "Monitor/T_MonitorSettings.h"
#include "Platform/I_DebugSink.h"
#include "Platform/I_System.h"
#include "Platform/T_Status.h"

class TDiscoveryResponder {
 public:
  // All borrowed for the responder's life; `system` makes its thread, `log`
  // takes one line per answer ("MONITOR: ...").
  TDiscoveryResponder(ISystem& system, IDebugSink& log, TAgentRegistry& registry, const TMonitorSettings& settings);
  ~TDiscoveryResponder();  // stops
  TDiscoveryResponder(const TDiscoveryResponder&) = delete;
  TDiscoveryResponder& operator=(const TDiscoveryResponder&) = delete;

  // Binds the discovery port (0: any free port) and starts the listening
  // thread. A failure says why ("discovery port 4105 cannot be taken: ...").
  TStatus Start();
  uint16_t Port() const;
  void Stop();

 private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl;
};
