// TLobbySession: the grid's sessions with one agent, run on a thread of
// their own. It opens the agent's lobby (bounded connect, GET_POOLSIZE),
// sends the tasks the board hands it (one RUN_TASK frame pair each) and
// KEEP_ALIVE when the lobby has been silent, and opens a new session when
// one ends, until the agent counts as lost. The first session that cannot
// be opened loses the agent at once: an agent unreachable at the start is
// left out.
//
// Threads: the owner starts it and, after the board has been stopped,
// calls Interrupt (from any thread) to end a connect or an exchange in
// progress, then Join. Everything else runs on the session's thread, the
// only one that reads or writes the lobby connection. Lock order:
// ConnectionLock before the connection's own locks (Interrupt closes the
// connection under it); the board's locks are never taken under it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Common/T_CustomWinSocket.h"
#include "Platform/I_DebugSink.h"
#include "Platform/I_NameResolver.h"
#include "Platform/I_System.h"
#include "Platform/T_Mutex.h"
#include "Platform/T_Thread.h"
#include "User/T_TaskBoard.h"
#include "kelvra/kelvra_client.h"

class TLobbySession {
 public:
  // The board, resolver, system and debug sink are borrowed and must
  // outlive the session; `agent` is the agent's index on the board.
  TLobbySession(TTaskBoard& board, size_t agent, kelvra::TAgentAddress address, const kelvra::TGridOptions& options,
                INameResolver& resolver);
  TLobbySession(const TLobbySession&) = delete;
  TLobbySession& operator=(const TLobbySession&) = delete;

  void Start(ISystem& system, IDebugSink& debug);
  // Ends a connect, read or write in progress; the thread then sees the
  // stopped board and leaves. Any thread.
  void Interrupt() EXCLUDES(ConnectionLock);
  // Waits at most `timeoutMs` for the thread; true when it has ended.
  bool Join(int timeoutMs) { return Thread.Join(timeoutMs); }

 private:
  void Run();
  // Connects and asks the pool size; false with `reason` when it cannot.
  bool Open(int& poolSize, std::string& reason) EXCLUDES(ConnectionLock);
  // Serves the open session until it ends (`reason`) or the board stops.
  void Serve(std::string& reason);
  // KEEP_ALIVE and its answer; false when the session has ended.
  bool KeepAlive();
  // The open connection; only the session's thread calls it.
  TCustomWinSocket& Lobby() EXCLUDES(ConnectionLock);
  bool HasConnection() EXCLUDES(ConnectionLock);
  void CloseConnection() EXCLUDES(ConnectionLock);

  // Constant after construction.
  TTaskBoard& Board;  // borrowed
  const size_t Agent;
  const kelvra::TAgentAddress Address;
  const std::string Name;  // "HOST:PORT"
  const int KeepAliveMs;
  const int ConnectTimeoutMs;
  const int ReconnectAttempts;
  INameResolver& Resolver;  // borrowed

  // The session's thread changes these; Interrupt reads them from any thread.
  TMutex ConnectionLock;
  int Connecting GUARDED_BY(ConnectionLock) = -1;  // descriptor of a connect in progress
  std::unique_ptr<TCustomWinSocket> Connection GUARDED_BY(ConnectionLock);
  bool Interrupted GUARDED_BY(ConnectionLock) = false;

  TThread Thread;
};
