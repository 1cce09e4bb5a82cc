// SPDX-License-Identifier: Apache-2.0
// TAgentLobby: the agent's TCP server on which users open sessions. Every
// accepted connection is one session, served by a TAgentLobbySocketThread
// on the connection's own thread; a thread is never reused for a second
// connection. A connection from an address outside [agent] allowed_users,
// or one past [agent] max_sessions open sessions, is closed on the accept
// thread before anything is made for it, with one debug line naming the
// address. Created by the agent core on the main thread (listening at once)
// and destroyed there; destruction ends every session and waits for each
// one's running tasks.
#pragma once

#include <cstdint>

#include "Common/T_Listener.h"

class TAgentContext;
class TSessionProcesses;
struct TSessionServices;

class TAgentLobby {
 public:
  // Listens on [agent] bind_ip (all local addresses when empty) and
  // bind_port. Throws the listener's failure when it cannot (a port that is
  // taken, an address that is not local). `context` and `services` are
  // borrowed for the lobby's life and handed to every session.
  // With `processes` (borrowed for as long), each session runs in a process
  // of its own; else on the connection's thread.
  TAgentLobby(const TAgentContext& context, const TSessionServices& services, TSessionProcesses* processes = nullptr);
  // Ends every lobby connection and waits for its session to end.
  ~TAgentLobby() = default;
  TAgentLobby(const TAgentLobby&) = delete;
  TAgentLobby& operator=(const TAgentLobby&) = delete;

  // The port listened on (the settings' port, or the one the system chose
  // for port 0).
  uint16_t Port() const { return Listener.Port(); }

 private:
  // Whether a connection from `address` (network byte order) becomes a
  // session while `open` sessions are. Runs on the accept thread.
  bool Admits(uint32_t address, int open) const;

  const TAgentContext& Context;     // borrowed
  const TSessionServices& Services;  // borrowed
  TListener Listener;
};
