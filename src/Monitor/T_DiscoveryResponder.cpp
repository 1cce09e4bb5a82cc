// SPDX-License-Identifier: Apache-2.0
#include "Monitor/T_DiscoveryResponder.h"

#include <chrono>
#include <string>
#include <unordered_map>

#include "Common/T_DebugLog.h"
#include "Platform/T_TcpSocket.h"
#include "Platform/T_Thread.h"
#include "Platform/T_UdpSocket.h"

namespace {

// An agent reads any datagram on its port as the answer; its first byte is
// not looked at.
constexpr char kAnswer = 1;
constexpr int kMaxDatagram = 8192;
constexpr int64_t kAnswerIntervalMs = 1000;
// Senders remembered for the rate limit; beyond it, new senders wait until
// the ones answered within the last second have aged out.
constexpr size_t kMaxSenders = 4096;

int64_t SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

struct TDiscoveryResponder::TImpl {
  TImpl(ISystem& system, IDebugSink& sink, TAgentRegistry& registry, const TMonitorSettings& settings)
      : System(system), Sink(sink), Log(sink, true), Registry(registry), Settings(settings) {}

  void Run();
  // Whether `sender` may be answered now (and if so, remembers that it was).
  bool MayAnswer(const std::string& sender);

  // Constant after construction; borrowed.
  ISystem& System;
  IDebugSink& Sink;
  const TDebugLog Log;
  TAgentRegistry& Registry;
  const TMonitorSettings& Settings;

  // Bound by the owner's thread before the thread starts; received on by
  // the thread; shut down by Stop, destroyed only after the thread's join.
  TUdpSocket Socket;
  TThread Thread{"Discovery"};
  // The listening thread's own: when each sender was last answered.
  std::unordered_map<std::string, int64_t> LastAnswered;
};

bool TDiscoveryResponder::TImpl::MayAnswer(const std::string& sender) {
  const int64_t now = SteadyMs();
  if (auto known = LastAnswered.find(sender); known != LastAnswered.end()) {
    if (now - known->second < kAnswerIntervalMs) return false;
    known->second = now;
    return true;
  }
  if (LastAnswered.size() >= kMaxSenders) {
    std::erase_if(LastAnswered, [&](const auto& entry) { return now - entry.second >= kAnswerIntervalMs; });
    if (LastAnswered.size() >= kMaxSenders) return false;
  }
  LastAnswered.emplace(sender, now);
  return true;
}

void TDiscoveryResponder::TImpl::Run() {
  char buffer[kMaxDatagram];
  while (!Thread.StopRequested()) {
    std::string sender;
    if (Socket.Receive(buffer, sizeof buffer, sender) < 0) break;
    // Silence for a sender outside allowed_agents: an agent there would
    // only be refused when it reports.
    uint32_t address = 0;
    if (!TTcpSocket::ParseAddress(sender, address) || !Settings.AllowedAgents.Allows(address)) continue;
    if (!MayAnswer(sender)) continue;
    // The agent takes the answer's source as the monitor's address: with
    // bind_ip set it must be that address, the only one the status server
    // listens on.
    if (TStatus sent = TUdpSocket::SendTo(sender, Settings.AnswerPort, &kAnswer, 1, Settings.BindIp); !sent) {
      Log.Write("MONITOR: cannot answer discovery from %s: %s", sender, sent.Reason());
      continue;
    }
    Registry.DiscoveryAnswered();
    Log.Write("MONITOR: answered discovery from %s", sender);
  }
}

TDiscoveryResponder::TDiscoveryResponder(ISystem& system, IDebugSink& log, TAgentRegistry& registry,
                                         const TMonitorSettings& settings)
    : Impl(std::make_unique<TImpl>(system, log, registry, settings)) {}

TDiscoveryResponder::~TDiscoveryResponder() { Stop(); }

TStatus TDiscoveryResponder::Start() {
  TImpl& impl = *Impl;
  // Bound to all addresses whatever [monitor] bind_ip says: a datagram sent
  // to 255.255.255.255 reaches only a socket bound to all addresses.
  if (TStatus bound = impl.Socket.Bind(impl.Settings.DiscoveryPort); !bound)
    return TStatus::Failure("discovery port " + std::to_string(impl.Settings.DiscoveryPort) + " cannot be taken",
                            bound.Reason());
  if (TStatus started = impl.Thread.TryStart(impl.System, impl.Sink, [&impl] { impl.Run(); }); !started)
    return TStatus::Failure("discovery thread cannot be made", started.Reason());
  return {};
}

uint16_t TDiscoveryResponder::Port() const { return Impl->Socket.LocalPort(); }

void TDiscoveryResponder::Stop() {
  Impl->Thread.RequestStop();
  Impl->Socket.Shutdown();
  Impl->Thread.Join();
}
