// SPDX-License-Identifier: Apache-2.0
// TAgentLobbySocketThread: one session, from the lobby connection's accept
// to its end. It registers the user's address with the agent, creates the
// session object (TAgentSession), reads commands (RUN_TASK, KEEP_ALIVE, GET_POOLSIZE,
// DISCONNECT; each frame bounded by 20000 ms as a whole, each command text by
// kMaxCommandLength bytes) until the session ends, then
// tears the session down: its running tasks finish and are reported
// before the address leaves the agent's session list. The address leaves it
// however the session ends, also when the session object cannot be made; a
// session that failed to start ends after the command being served.
// Serve runs on the connection's own thread (the lobby's listener makes one
// per connection), the only one that uses the connection.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Common/T_Connection.h"

class TAgentContext;
struct TSessionServices;
class TAgentSession;

class TAgentLobbySocketThread {
 public:
  // Every frame read or written on a lobby connection ends within this.
  static constexpr int kLobbyTimeout = 20000;
  // No command comes near this; a longer text ends the session unread.
  static constexpr int32_t kMaxCommandLength = 65536;
  // The most items a command uses (RUN_TASK's four), and one more to tell a
  // command that has too many.
  static constexpr size_t kCommandItemsSplit = 5;

  // `context` and `services` are borrowed for the session's life.
  TAgentLobbySocketThread(const TAgentContext& context, const TSessionServices& services);
  ~TAgentLobbySocketThread();
  TAgentLobbySocketThread(const TAgentLobbySocketThread&) = delete;
  TAgentLobbySocketThread& operator=(const TAgentLobbySocketThread&) = delete;

  // The whole session on `connection` (borrowed), on the calling thread:
  // registers the user, creates the session, runs the command loop, closes
  // the connection and destroys the session. Once per object.
  void Serve(TConnection& connection);

 private:
  // Reads and carries out one command; false when the session ends.
  bool ServeCommand(TConnection& connection);
  // Carries out one command; false when the session ends.
  bool Dispatch(TConnection& connection, const std::vector<std::string>& items);
  bool RunTask(TConnection& connection, const std::vector<std::string>& items);
  void RunSession(TConnection& connection);
  // Ends the session for a reason of the loop's own (the line before it
  // says which), logged as every such end is: false.
  bool Drop() const;

  const TAgentContext& Context;     // borrowed
  const TSessionServices& Services;  // borrowed
  std::string Address;
  std::unique_ptr<TAgentSession> Session;  // owned for the session's life
};
