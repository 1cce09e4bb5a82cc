// TServerSocket: the thread-blocking listening server of the blocking socket
// layer (the lobby). Activate binds (SO_REUSEADDR), calls the on-listen
// hook, listens (backlog SOMAXCONN) and starts the accept thread; each
// accepted connection is served by a connection thread (TServerClientThread,
// or the class the get-thread hook supplies), reused from the thread cache
// when one is idle. Deactivate (also on destruction) stops the accept
// thread, then, newest first, terminates each connection thread, closes its
// connection, waits for it and frees it; it returns even while an accept
// and reads are blocked. Nothing here logs, except an error that escapes a
// thread's own catching (written to the debug sink by TThread).
//
// Threads: the owner's thread configures, activates and deactivates. The
// accept thread ("Accept thread") and the connection threads are TThreads
// made by the server's ISystem; a connection whose thread cannot be made is
// closed and reported to the thread-error hook. The accept hook may refuse a
// connection before anything is made for it. The accept and connection
// threads share the lists under ListLock, which also guards each connection
// thread's connection pointer. Any thread may ask ThreadCount and
// ConnectionCount. Lock order: ListLock before a connection's own locks
// (Deactivate closes connections under it); nothing that holds a
// connection's lock takes ListLock. The process's whole order:
// Agent/LockOrder.h.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Common/T_CustomWinSocket.h"
#include "Common/T_ServerClientThread.h"
#include "Platform/I_DebugSink.h"
#include "Platform/I_System.h"
#include "Platform/T_Event.h"
#include "Platform/T_Mutex.h"
#include "Platform/T_TcpSocket.h"
#include "Platform/T_Thread.h"

class TServerSocket {
 public:
  // Makes the thread for a newly accepted connection (not started; the
  // server starts it). Runs on the accept thread. Null: a default thread.
  using TGetThreadHook = std::function<std::unique_ptr<TServerClientThread>(TCustomWinSocket& connection)>;
  // Runs on the accept thread for each accepted connection (the peer's
  // address in network byte order), before a thread or anything else is
  // made for it; false closes the connection at once. Null: every
  // connection is taken.
  using TAcceptHook = std::function<bool(uint32_t address)>;
  // Runs on the owner's thread between bind and listen; an error it raises
  // fails the activation.
  using TListenHook = std::function<void(TServerSocket& server)>;
  // Receives the message of an error that escaped a connection handler or
  // the hand-over of a connection. Runs on that thread.
  using TThreadErrorHook = std::function<void(const std::string& message)>;

  // `system` makes the server's threads; `debug` takes errors that escape
  // them (both borrowed for the server's life).
  TServerSocket(ISystem& system, IDebugSink& debug) : System(system), Debug(debug) {}
  ~TServerSocket();
  TServerSocket(const TServerSocket&) = delete;
  TServerSocket& operator=(const TServerSocket&) = delete;

  // Settings; every setter raises "Can't change value while socket is
  // active" while the server is active, except the cache size.
  void SetPort(uint16_t port);  // 0: any free port (see LocalPort)
  uint16_t Port() const { return PortNumber; }
  void SetAddress(const std::string& address);  // a dotted IPv4 text; empty: all local addresses
  const std::string& Address() const { return LocalAddress; }
  void SetOnAccept(TAcceptHook hook);
  void SetOnGetThread(TGetThreadHook hook);
  void SetOnListen(TListenHook hook);
  void SetOnThreadError(TThreadErrorHook hook);
  // How many idle connection threads stay for reuse (10 unless set; the
  // agent sets 0). Any time.
  void SetThreadCacheSize(int size) EXCLUDES(ListLock);
  int ThreadCacheSize() const EXCLUDES(ListLock);

  // Starts listening. Raises "Can't listen on an open socket" when active,
  // "Can't create new socket", or the "bind" / "listen" text (EADDRNOTAVAIL
  // for an address that is not a dotted IPv4 text).
  void Activate() EXCLUDES(ListLock);
  // Stops as described above; nothing when inactive.
  void Deactivate() EXCLUDES(ListLock);
  bool Active() const { return IsActive; }

  // The port the server is bound to (from the on-listen hook on); 0 when
  // inactive.
  uint16_t LocalPort() const;

  // Live connection threads (idle cached ones included) and accepted
  // connections not yet freed. With a cache size of 0 they are equal
  // whenever no hand-over or release is in progress.
  int ThreadCount() const EXCLUDES(ListLock);
  int ConnectionCount() const EXCLUDES(ListLock);

 private:
  friend class TServerClientThread;
  using TThreadList = std::vector<std::unique_ptr<TServerClientThread>>;

  void AcceptLoop(int listener);
  void HandOver(TTcpSocket accepted, uint32_t address, uint16_t port) EXCLUDES(ListLock);
  // Called by a connection thread after its handler: frees its connection;
  // true when the thread stays in the cache for another connection, false
  // when it must end (it has then been retired, or deactivation waits for
  // it).
  bool ConnectionDone(TServerClientThread& thread, bool failed) EXCLUDES(ListLock);
  void ReportThreadError(const std::string& message);
  // Joins and frees the threads that have retired themselves.
  void ReapRetired() EXCLUDES(ListLock);
  static void JoinAll(TThreadList& threads);
  void RequireInactive() const;

  // Constant after construction; borrowed.
  ISystem& System;
  IDebugSink& Debug;

  // Settings: written by the owner's thread while inactive, read by the
  // accept and connection threads while active.
  uint16_t PortNumber = 0;
  std::string LocalAddress;
  TAcceptHook OnAccept;
  TGetThreadHook OnGetThread;
  TListenHook OnListen;
  TThreadErrorHook OnThreadError;

  // The owner's thread's. The accept thread uses the listener's number,
  // which is closed only after that thread has been joined.
  bool IsActive = false;
  TTcpSocket Listener;
  std::unique_ptr<TThread> AcceptThread;  // one per activation
  TEvent AcceptStop{true, false};  // the accept thread's stop request, set by Deactivate

  mutable TMutex ListLock;
  int CacheSize GUARDED_BY(ListLock) = 10;
  TThreadList Threads GUARDED_BY(ListLock);  // live, in order of creation
  std::vector<std::unique_ptr<TCustomWinSocket>> Connections GUARDED_BY(ListLock);
  // Threads that ended on their own and wait to be joined and freed (by the
  // next thread to retire, the accept thread, or Deactivate).
  TThreadList Retired GUARDED_BY(ListLock);
};
