// SPDX-License-Identifier: Apache-2.0
// The lobby's command loop fed arbitrary frames: one session per input,
// served on the fuzzer's thread over a connection held in memory, until the
// frames run out (the peer has closed) or the session ends itself. The user's
// data port refuses every connection, so no task library is fetched and no
// task runs. Every session must end, and its address must leave the agent's
// session list.
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "Agent/T_Agent.h"
#include "Agent/T_AgentLobbySocketThread.h"
#include "Agent/T_MainThreadQueue.h"
#include "FuzzSupport.h"
#include "Platform/T_LinuxFileSystem.h"
#include "Platform/T_LinuxSystem.h"

namespace {

// Formats every debug line (the user's texts pass through the formatting)
// and drops it.
class TDiscardSink : public IDebugSink {
 public:
  void Write(std::string_view) override {}
  void Beep() override {}
};

// The machine's threads, with a private data folder and thread priorities
// left alone.
class TFuzzSystem : public TLinuxSystem {
 public:
  std::string Folder;
  std::string DataHome() override { return Folder; }
  std::string StateHome() override { return ""; }  // no crash reports
  TStatus SetThreadPriority(TSystemThreadId, TThreadPriority) override { return {}; }
};

struct TFuzzAgent {
  TDiscardSink Sink;
  TFuzzSystem System;
  TMainThreadQueue MainThread;
  TTcpSocket ClosedPort;  // bound, never listening: connects are refused
  std::unique_ptr<TAgent> Agent;

  TFuzzAgent() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kelvra-fuzz-lobby-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    System.Folder = pattern;
    uint16_t dataPort = 0;
    if (!ClosedPort.Create() || !ClosedPort.Bind(TMemoryConnection::kLoopback, 0) || !ClosedPort.LocalPort(dataPort))
      std::abort();
    const std::string settingsFile = System.Folder + "/kelvra.INI";
    TLinuxFileSystem files;
    const std::string settings =
        "[agent]\nbind_ip=127.0.0.1\nbind_port=0\nbroadcast_port=0\nsuspend_timeout=0\nenableDebugOutput=1\n"
        // The lobby's command loop runs in this process, where the fuzzer sees it.
        "isolation=thread\n"
        "[coordinator]\ncoordinator_ip=127.0.0.1\nallowDiscardCoordinatorIp=0\n"
        "[user]\ndata_port=" + std::to_string(dataPort) + "\n";
    if (!files.WriteFile(settingsFile, settings)) std::abort();
    TPlatform platform = TPlatform::Linux();
    platform.System = &System;
    platform.Debug = &Sink;
    TAgentOptions options;
    options.StartStatusThread = false;
    Agent = std::make_unique<TAgent>(platform, settingsFile, MainThread, options);
  }
  ~TFuzzAgent() {
    Agent.reset();
    std::error_code ignored;
    std::filesystem::remove_all(System.Folder, ignored);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The agent's answers wait unread in the connection: inputs stay small.
  if (size > 16384) return 0;
  static TFuzzAgent fuzzAgent;
  TAgent& agent = *fuzzAgent.Agent;
  {
    TMemoryConnection connection(std::string_view(reinterpret_cast<const char*>(data), size));
    TAgentLobbySocketThread session(agent.Context(), agent.Services());
    session.Serve(*connection.Agent);
    FUZZ_CHECK(!connection.Agent->Connected());
  }
  FUZZ_CHECK(agent.GetStatusText().rfind("Unassigned", 0) == 0);
  return 0;
}
