// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_AgentStatusThread.h"

#include "Agent/AgentVersion.h"
#include "Agent/T_AgentConfig.h"
#include "Agent/T_AgentContext.h"
#include "Agent/T_SessionList.h"
#include "Agent/T_SuspendState.h"
#include "Common/CommandText.h"
#include "Common/WireFraming.h"
#include "Platform/T_UdpSocket.h"

namespace {

constexpr int kPassPause = 100;
constexpr int kSearchWait = 5000;
constexpr int kRetryWait = 5000;
constexpr int kReportWait = 1000;
constexpr int kReportTimeout = 10000;

}  // namespace

TAgentStatusThread::TAgentStatusThread(const TAgentContext& context, TAgentConfig& config,
                                       const TSessionList& sessions, TSuspendState& suspension,
                                       IMainThread& mainThread)
    : Context(context),
      Config(config),
      Sessions(sessions),
      SuspendState(suspension),
      MainThread(mainThread),
      Sampler(*context.Platform().Machine, *context.Platform().System,
              [this]() {
                // The meter belongs to the main thread.
                std::optional<TMeterReading> reading;
                MainThread.RunSynchronously([&] { reading = Context.Platform().Machine->ReadMeter(); });
                return reading;
              }),
      Suspension(context.Settings().SuspendTimeout, context.Platform().Machine->TickCount()) {
  const int port = context.Settings().BroadcastPort;
  try {
    Listener = std::make_unique<TBroadcastListener>(
        context.Platform(), mainThread, static_cast<uint16_t>(port),
        [this](const std::string& sender, int length) { OnBroadcast(sender, length); });
  } catch (const std::exception&) {
    Context.DebugWrite("AGENT: Unable to create UDP server socket on port %d", port);
  }
}

void TAgentStatusThread::Start() {
  Thread.Start(*Context.Platform().System, *Context.Platform().Debug, [this] { Run(); },
               [this] { MainThread.Wake(); });
}

TAgentStatusThread::~TAgentStatusThread() { Shutdown(); }

void TAgentStatusThread::Shutdown() {
  Stop();
  // Finished whichever way the body ended (or when it never started).
  MainThread.ServeUntil([this] { return Thread.Finished(); });
  Thread.Join();
  Listener.reset();
}

void TAgentStatusThread::Stop() {
  Thread.RequestStop();
  Wake();
  // Nothing is owed to the coordinator at the end: a connect or a report
  // waiting for it ends now, and no new connect begins.
  StatusSocket.Shutdown();
}

void TAgentStatusThread::Wake() {
  {
    TMutexLock guard(WakeLock);
    WakeSet = true;
  }
  WakeCondition.NotifyAll();
}

void TAgentStatusThread::WaitForWake(int timeoutMs) {
  TMutexLock guard(WakeLock);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!WakeSet && !Stopping() && WakeCondition.WaitUntil(WakeLock, deadline)) {
  }
  WakeSet = false;
}

void TAgentStatusThread::Pause(int timeoutMs) {
  TMutexLock guard(WakeLock);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!Stopping() && WakeCondition.WaitUntil(WakeLock, deadline)) {
  }
}

void TAgentStatusThread::Run() {
  while (!Stopping()) {
    Pause(kPassPause);
    if (Stopping()) break;
    try {
      Sampler.Sample();
    } catch (const std::exception& error) {
      Context.DebugWrite("AGENT: Unable to sample the machine: %s", error.what());
    }
    switch (GetState()) {
      case csSearching:
        StepSearching();
        break;
      case csConnecting:
        StepConnecting();
        break;
      case csRetryWait:
        State.store(csConnecting, std::memory_order_relaxed);
        WaitForWake(kRetryWait);
        break;
      case csReporting:
        StepReporting();
        break;
      case csReportWait:
        WaitForWake(kReportWait);
        State.store(csReporting, std::memory_order_relaxed);
        break;
    }
    const int seconds = Suspension.Update(Sampler.IdlePercent(), Sampler.AgentPercent(),
                                          Context.Platform().Machine->TickCount());
    SuspendState.SetSuspendSeconds(seconds);
  }
  StatusSocket.Close();
}

void TAgentStatusThread::StepSearching() {
  if (!Config.GetCoordinatorIp().empty()) {
    State.store(csConnecting, std::memory_order_relaxed);
    return;
  }
  SendDiscoveryPing();
  WaitForWake(kSearchWait);
}

void TAgentStatusThread::SendDiscoveryPing() {
  const uint8_t ping = 1;
  const auto port = static_cast<uint16_t>(Context.Settings().CoordinatorBroadcastPort);
  if (TStatus sent = TUdpSocket::SendBroadcast(port, &ping, 1); sent) {
    LastPingError.clear();
  } else if (sent.Reason() != LastPingError) {
    // Once per change of cause: a machine without a network would log it
    // every five seconds otherwise.
    Context.DebugWrite("AGENT: Unable to send the discovery broadcast: %s", sent.Reason());
    LastPingError = sent.Reason();
  }
}

void TAgentStatusThread::StepConnecting() {
  // Read under the settings lock: the broadcast handler may be writing it.
  // The connection leaves from the address users reach the agent at: a
  // coordinator that sees several agents of one machine tells them apart
  // by it.
  const TAgentSettings& settings = Context.Settings();
  if (StatusSocket.Open(*Context.Platform().Names, Config.GetCoordinatorIp(),
                        static_cast<uint16_t>(settings.CoordinatorPort), settings.BindIp)) {
    State.store(csReporting, std::memory_order_relaxed);
    return;
  }
  if (settings.AllowDiscardCoordinatorIp) Config.SetCoordinatorIp("");
  State.store(csSearching, std::memory_order_relaxed);
}

void TAgentStatusThread::StepReporting() {
  const std::string report = BuildStatusReport(
      Sampler.ComputerName(), Sampler.ProcessorGHz(), Sampler.IdlePercent(), Sampler.AgentPercent(),
      Sampler.FreeMemoryMB(), Sessions.StatusText(SuspendState.SuspendSeconds(), GetState()), Sampler.ProcessorCount(),
      Context.PoolSize());
  const TStatus sent = SocketWriteString(StatusSocket, report, kReportTimeout);
  if (sent) {
    State.store(csReportWait, std::memory_order_relaxed);
    return;
  }
  Context.LogFrameFailure(sent);
  StatusSocket.Close();
  State.store(csRetryWait, std::memory_order_relaxed);
}

void TAgentStatusThread::OnBroadcast(const std::string& sender, int length) {
  Context.DebugWrite("AGENT: Got broadcast from coordinator %s: %u bytes", sender, static_cast<uint32_t>(length));
  if (GetState() != csSearching) return;
  Config.SetCoordinatorIp(sender);
  if (TStatus saved = Config.SaveCoordinatorIp(); !saved) {
    // The address is stored: the next search pass connects to it anyway.
    Context.DebugWrite("AGENT: %s: %s", saved.Context(), saved.Reason());
    return;
  }
  Wake();
}

std::string TAgentStatusThread::GetLoadSummary() const {
  return FormatLoadSummary(Sampler.ProcessorGHz(), Sampler.AgentPercent(), Sampler.IdlePercent(),
                           Sampler.FreeMemoryMB());
}

std::string TAgentStatusThread::BuildStatusReport(const std::string& computerName, float processorGHz,
                                                  uint32_t idlePercent, uint32_t agentPercent,
                                                  uint32_t freeMemoryMB, const std::string& statusText,
                                                  uint32_t processorCount, int poolSize) {
  return "UPDATE_STATUS " + std::to_string(kAgentVersionNumber) + " " + EncodeArgument(computerName) + " " +
         FormatDecimal(processorGHz, 3) + " " + std::to_string(idlePercent) + " " + std::to_string(agentPercent) +
         " " + std::to_string(freeMemoryMB) + " " + EncodeArgument(statusText) + " " +
         std::to_string(processorCount) + " " + std::to_string(static_cast<uint32_t>(poolSize));
}

std::string TAgentStatusThread::FormatLoadSummary(float processorGHz, uint32_t agentPercent, uint32_t idlePercent,
                                                  uint32_t freeMemoryMB) {
  // Each product is a single-precision value before it is formatted.
  auto used = static_cast<float>(static_cast<double>(processorGHz) * agentPercent / 100.0);
  auto idle = static_cast<float>(static_cast<double>(processorGHz) * idlePercent / 100.0);
  return FormatDecimal(used, 1) + " " + FormatDecimal(idle, 1) + " " + std::to_string(freeMemoryMB);
}
