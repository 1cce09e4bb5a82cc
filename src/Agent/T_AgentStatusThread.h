// SPDX-License-Identifier: Apache-2.0
// TAgentStatusThread: finds the coordinator and reports to it. While it has
// no coordinator address it broadcasts a one-byte datagram every 5 s and
// listens for a coordinator's broadcast; with an address it keeps a TCP
// connection to the coordinator's status port and writes an UPDATE_STATUS
// text about every 1.2 s. Each pass it samples the machine and updates the
// process-wide suspension countdown.
//
// Threads: created and destroyed by the agent core on the main thread;
// OnBroadcast runs on the main thread; GetState and GetLoadSummary on any
// thread. Destruction keeps serving main-thread hand-overs (the meter, the
// broadcast handler) until the thread has ended, by any way (a body that
// fails ends it too).
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "Agent/I_MainThread.h"
#include "Agent/T_CoordinatorState.h"
#include "Agent/T_BroadcastListener.h"
#include "Agent/T_MachineSampler.h"
#include "Agent/T_Suspension.h"
#include "Common/T_Connection.h"
#include "Platform/T_Condition.h"
#include "Platform/T_Mutex.h"
#include "Platform/T_Thread.h"

class TAgentConfig;
class TAgentContext;
class TSessionList;
class TSuspendState;

class TAgentStatusThread {
 public:
  // Takes the baseline sample and opens the broadcast listener (a port that
  // cannot be had is logged and the agent goes on without it). `config`
  // holds the coordinator address (read, and written when a coordinator is
  // found), `sessions` gives the status text of each report, and
  // `suspension` receives the countdown's seconds once a pass. All are
  // borrowed for the object's life.
  TAgentStatusThread(const TAgentContext& context, TAgentConfig& config, const TSessionList& sessions,
                     TSuspendState& suspension, IMainThread& mainThread);
  // Shutdown.
  ~TAgentStatusThread();

  // Starts the thread; its owner calls it once it can be reached through
  // the agent (the thread asks the agent for its status text). Throws the
  // system's refusal to make the thread.
  void Start();
  // Stop, wait for the thread while serving hand-overs, free the listener.
  // Main thread; once.
  void Shutdown();
  TAgentStatusThread(const TAgentStatusThread&) = delete;
  TAgentStatusThread& operator=(const TAgentStatusThread&) = delete;

  // Asks the thread to end and cuts its waits short, a connect to the
  // coordinator or a report in progress included. Any thread.
  void Stop() EXCLUDES(WakeLock);

  TCoordinatorState GetState() const { return State.load(std::memory_order_relaxed); }

  // "<GHz used by the agent> <GHz idle> <free MB>", e.g. "0.0 2.3 1536".
  std::string GetLoadSummary() const;

  const TMachineSampler& Measurements() const { return Sampler; }

  // The UDP port the broadcast listener is bound to; 0 without a listener.
  uint16_t BroadcastPort() const { return Listener ? Listener->Port() : 0; }

  // A datagram from `sender` on the broadcast port (main thread): while
  // searching, the sender becomes the coordinator and is written back to
  // the settings file.
  void OnBroadcast(const std::string& sender, int length);

  // The UPDATE_STATUS text for these measurements.
  static std::string BuildStatusReport(const std::string& computerName, float processorGHz, uint32_t idlePercent,
                                       uint32_t agentPercent, uint32_t freeMemoryMB, const std::string& statusText,
                                       uint32_t processorCount, int poolSize);
  static std::string FormatLoadSummary(float processorGHz, uint32_t agentPercent, uint32_t idlePercent,
                                       uint32_t freeMemoryMB);

 private:
  void Run();
  void StepSearching();
  void StepConnecting();
  void StepReporting();
  void SendDiscoveryPing();
  // Waits up to `timeoutMs` for the wake event (auto-reset) or Stop.
  void WaitForWake(int timeoutMs) EXCLUDES(WakeLock);
  // Sleeps `timeoutMs` unless Stop comes first; leaves the wake event alone.
  void Pause(int timeoutMs) EXCLUDES(WakeLock);
  void Wake() EXCLUDES(WakeLock);
  bool Stopping() const { return Thread.StopRequested(); }

  // Constant after construction.
  const TAgentContext& Context;  // borrowed
  TAgentConfig& Config;          // borrowed
  const TSessionList& Sessions;  // borrowed
  TSuspendState& SuspendState;   // borrowed
  IMainThread& MainThread;  // borrowed

  // Status thread only (the sampler's measurements are read anywhere).
  TMachineSampler Sampler;
  TSuspension Suspension;
  // Opened, written and closed by the status thread; Stop shuts it down
  // from any thread.
  TConnection StatusSocket;
  std::string LastPingError;

  // Written by the status thread only, read anywhere: a plain value.
  std::atomic<TCoordinatorState> State{csSearching};

  // A leaf (Agent/LockOrder.h).
  TMutex WakeLock;
  TCondition WakeCondition;
  bool WakeSet GUARDED_BY(WakeLock) = false;

  // Owned; the listener is freed after the thread has ended.
  std::unique_ptr<TBroadcastListener> Listener;
  // Its stop request is set by Stop; destroyed (joined) first.
  TThread Thread{"Status thread"};
};
