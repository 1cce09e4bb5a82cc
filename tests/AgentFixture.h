// An agent core for tests below the lobby: no status thread, its own data
// folder, safe settings, and the users' data port of a fake user.
#pragma once

#include <memory>
#include <string>

#include "Agent/T_Agent.h"
#include "TestSupport.h"

inline std::unique_ptr<TAgent> MakeCoreAgent(TTestPlatform& platform, const TTempDir& dir, IMainThread& mainThread,
                                             uint16_t dataPort,
                                             const std::string& agentExtra = "enableDebugOutput=1\n") {
  platform.System.DataFolder = dir / "data";
  WriteTextFile(dir / "kelvra.INI",
                SafeSettings(agentExtra) + "[user]\ndata_port=" + std::to_string(dataPort) + "\n");
  return std::make_unique<TAgent>(platform.Get(), dir / "kelvra.INI", mainThread, TAgentOptions{false});
}
