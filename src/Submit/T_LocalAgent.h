// SPDX-License-Identifier: Apache-2.0
// TLocalAgent: a private kelvra-agent on this machine for one run of
// kelvra-submit. It lives in a temporary folder of its own: its settings
// file (free loopback ports, the coordinator on 127.0.0.1 and kept there, so
// it never broadcasts), its XDG folders and its log. Stop ends it (SIGTERM,
// then SIGKILL after a bound); the folder goes with the object unless
// KeepFolder was called (to read the log after a failure).
//
// Threads: one owner.
#pragma once

#include <cstdint>
#include <string>

#include "Platform/T_ChildProcess.h"
#include "Platform/T_Status.h"

class TLocalAgent {
 public:
  TLocalAgent() = default;
  TLocalAgent(const TLocalAgent&) = delete;
  TLocalAgent& operator=(const TLocalAgent&) = delete;
  ~TLocalAgent();

  // Writes the settings and starts `agentBinary`. The agents connect back to
  // `dataPort`, a free port when 0.
  TStatus Start(const std::string& agentBinary, uint16_t dataPort);

  uint16_t LobbyPort() const { return Lobby; }
  uint16_t DataPort() const { return Data; }
  const std::string& Folder() const { return Home; }
  std::string LogPath() const { return Home + "/agent.log"; }
  bool Running() { return Process.Running(); }
  pid_t ProcessId() const { return Process.Id(); }

  // Ends the agent; answers its exit status.
  int Stop();
  // Leaves the folder in place when the object goes.
  void KeepFolder() { Keep = true; }

  // The agent to start: `chosen` when given, else kelvra-agent in the folder
  // of `ownExecutable`, else the one on PATH; empty when there is none.
  static std::string FindBinary(const std::string& chosen, const std::string& ownExecutable);

 private:
  TChildProcess Process;
  std::string Home;
  uint16_t Lobby = 0;
  uint16_t Data = 0;
  bool Keep = false;
};
