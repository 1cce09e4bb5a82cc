// SPDX-License-Identifier: Apache-2.0
// What a session's parts borrow from the agent, built from the test
// platform alone: no settings file, no agent, no status thread. The
// settings start safe (loopback coordinator, no discovery, no suspension
// countdown, debug output on) and a test changes what it needs before it
// makes the parts.
#pragma once

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "Agent/I_LoadSource.h"
#include "Agent/T_AgentConfig.h"
#include "Agent/T_AgentContext.h"
#include "Agent/T_AgentInterface.h"
#include "Agent/T_ClosingFlag.h"
#include "Agent/T_SessionList.h"
#include "Agent/T_SessionServices.h"
#include "Agent/T_SuspendState.h"
#include "TestSupport.h"

inline TAgentSettings TestSettings(uint16_t dataPort) {
  TAgentSettings settings;
  settings.BindPort = 0;
  settings.BroadcastPort = 0;
  settings.SuspendTimeout = 0;
  settings.CoordinatorIp = "127.0.0.1";
  settings.AllowDiscardCoordinatorIp = false;
  settings.EnableDebugOutput = true;
  settings.DataPort = dataPort;
  return settings;
}

// A load summary that a test sets; with Raise set, asking for it raises
// (as an allocation that fails would), so that a task's report fails after
// the task ran.
class TFixedLoad : public ILoadSource {
 public:
  std::string GetLoadSummary() const override {
    if (Raise) throw std::runtime_error("no load summary");
    return Summary;
  }
  std::string Summary = "0.0 0.0 0";
  std::atomic<bool> Raise{false};
};

// The context and every service, wired as the agent wires them. The
// temporary folder is <dir>/data/kelvra/TEMP/, made here.
struct TAgentParts {
  TAgentParts(TTestPlatform& platform, const TTempDir& dir, const TAgentSettings& settings)
      : Context(platform.Get(), TDebugLog(platform.Debug, settings.EnableDebugOutput), settings,
                TAgentConfig::ComputePoolSize(platform.System.Processors, settings.FreeCPUCount),
                MakeTempFolder(dir)) {}
  TAgentParts(const TAgentParts&) = delete;
  TAgentParts& operator=(const TAgentParts&) = delete;

  // The status text as an agent without a status thread shows it.
  std::string StatusText() const { return Sessions.StatusText(Suspension.SuspendSeconds(), csSearching); }

  static std::string MakeTempFolder(const TTempDir& dir) {
    const std::string folder = dir / "data/kelvra/TEMP/";
    std::filesystem::create_directories(folder);
    return folder;
  }

  TAgentContext Context;
  TClosingFlag Closing;
  TSuspendState Suspension;
  TFixedLoad Load;
  TSessionList Sessions;
  TAgentInterface Interface{Context, Closing, Suspension};
  TSessionServices Services{Closing, Suspension, Load, Sessions, Interface.Interface()};
};
