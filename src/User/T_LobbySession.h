// SPDX-License-Identifier: Apache-2.0
// TLobbySession: the grid's sessions with one agent, run on a thread of
// their own. It opens the agent's lobby (bounded connect, GET_POOLSIZE),
// sends the tasks the board hands it (one RUN_TASK frame pair each) and
// KEEP_ALIVE when the lobby has been silent, and opens a new session when
// one ends, until the agent counts as lost. The first session that cannot
// be opened loses the agent at once: an agent unreachable at the start is
// left out. Each session tells the data port's guard the address its host
// name resolved to.
//
// Time: each frame has the agent's own bound, kExchangeMs, from when the
// frame before it has gone out, so a slow link slows the tasks and never
// fails them. The answer to KEEP_ALIVE comes once the agent has read every
// frame before it: it is given a frame's bound for each large frame still
// perhaps on its way (at most kMostFramesAhead of them).
//
// Threads: the owner starts it and, after the board has been stopped,
// calls Interrupt (from any thread) to end a connect or an exchange in
// progress, then Join. Everything else runs on the session's thread, the
// only one that opens, reads, writes and closes the lobby connection.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Common/T_Connection.h"
#include "Platform/I_DebugSink.h"
#include "Platform/I_NameResolver.h"
#include "Platform/I_System.h"
#include "Platform/T_Thread.h"
#include "User/T_DataPortGuard.h"
#include "User/T_TaskBoard.h"
#include "kelvra/kelvra_client.h"

class TLobbySession {
 public:
  // The agent's bound of a frame on its lobby.
  static constexpr int kExchangeMs = 20000;
  // A frame this large may still be crossing a slow link when the next
  // command is written; smaller ones cross any link the agent's bound
  // admits in a fraction of it.
  static constexpr size_t kLargeFrameBytes = 64 * 1024;
  static constexpr int kMostFramesAhead = 8;

  // The board, guard, resolver, system and debug sink are borrowed and must
  // outlive the session; `agent` is the agent's index on the board.
  TLobbySession(TTaskBoard& board, TDataPortGuard& guard, size_t agent, kelvra::TAgentAddress address,
                const kelvra::TGridOptions& options, INameResolver& resolver);
  TLobbySession(const TLobbySession&) = delete;
  TLobbySession& operator=(const TLobbySession&) = delete;

  void Start(ISystem& system, IDebugSink& debug);
  // Ends a connect, read or write in progress, and every later one; the
  // thread then sees the stopped board and leaves. Any thread.
  void Interrupt() { Lobby.Shutdown(); }
  // Waits at most `timeoutMs` for the thread; true when it has ended.
  bool Join(int timeoutMs) { return Thread.Join(timeoutMs); }

 private:
  void Run();
  // Connects and asks the pool size; false with `reason` when it cannot.
  bool Open(int& poolSize, std::string& reason);
  // Serves the open session until it ends (`reason`) or the board stops.
  void Serve(std::string& reason);
  // KEEP_ALIVE and its answer; false when the session has ended.
  bool KeepAlive();
  // Gives the agent up for `reason`.
  void Lose(const std::string& reason);

  // Constant after construction.
  TTaskBoard& Board;      // borrowed
  TDataPortGuard& Guard;  // borrowed
  const size_t Agent;
  const kelvra::TAgentAddress Address;
  const std::string Name;  // "HOST:PORT"
  const int KeepAliveMs;
  const int ConnectTimeoutMs;
  const int ReconnectAttempts;
  INameResolver& Resolver;  // borrowed

  // The session's thread opens, uses and closes it; Interrupt shuts it down
  // from any thread.
  TConnection Lobby;
  // The session thread's: large frames written since the agent last
  // answered, that is, since it was last known to have read them all.
  int FramesAhead = 0;

  TThread Thread;
};
