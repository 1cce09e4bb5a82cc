// SPDX-License-Identifier: Apache-2.0
// TListener: a listening TCP server that serves each accepted connection on
// a thread of its own. Start binds (SO_REUSEADDR), listens (backlog
// SOMAXCONN) and starts the accept thread. For each connection the admit
// function decides first, on the accept thread, before anything is made
// for it (the agent's allowed_users and max_sessions); an admitted one gets
// a new thread that runs the serve function once and then closes the
// connection. Stop (also on destruction) stops accepting, shuts every
// connection down (a read blocked on one returns at once) and waits for
// every thread; it returns even while an accept and reads are blocked.
// Nothing here logs, except what TThread writes for an error that escapes
// a serve function or a thread that cannot be made.
//
// Threads: the owner starts and stops. The accept thread and the connection
// threads share the list of connections under ListLock, which is held only
// briefly, never across a serve function; a connection's own lock is taken
// under it (Stop shuts connections down). Any thread may ask Port and
// ConnectionCount. The process's whole order: Agent/LockOrder.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "Common/T_Connection.h"
#include "Platform/I_DebugSink.h"
#include "Platform/I_System.h"
#include "Platform/T_Event.h"
#include "Platform/T_Mutex.h"
#include "Platform/T_Status.h"
#include "Platform/T_TcpSocket.h"
#include "Platform/T_Thread.h"

// A socket listening on `address` (dotted IPv4; empty: all local addresses)
// and `port` (0: any free port) into `listening`, the port in `bound`, for a
// server that accepts on its own (an event loop). Fails as Start does.
TStatus OpenListeningSocket(const std::string& address, uint16_t port, TTcpSocket& listening, uint16_t& bound);

class TListener {
 public:
  // Whether a connection from `address` (network byte order) is served,
  // given `served` connections being served now. Runs on the accept thread.
  using TAdmit = std::function<bool(uint32_t address, int served)>;
  // Serves one connection, on its own thread; the listener closes the
  // connection when it returns.
  using TServe = std::function<void(TConnection& connection)>;

  // `system` makes the threads; `debug` takes errors that escape them (both
  // borrowed for the listener's life). Each connection thread bears
  // `threadName`.
  TListener(ISystem& system, IDebugSink& debug, std::string threadName);
  ~TListener() { Stop(); }
  TListener(const TListener&) = delete;
  TListener& operator=(const TListener&) = delete;

  // Listens on `address` (a dotted IPv4 text; empty: all local addresses)
  // and `port` (0: any free port). A failure reads "Windows socket error:
  // Address already in use (98), on API 'bind'" (or 'listen'; EADDRNOTAVAIL
  // for an address that is no dotted IPv4 text), or "accept thread cannot
  // be made: <reason>" when the system refuses the thread (the port is then
  // given back). Null `admit`: every connection is served. Once per
  // listener.
  TStatus Start(const std::string& address, uint16_t port, TAdmit admit, TServe serve) EXCLUDES(ListLock);
  // As above; nothing when not listening.
  void Stop() EXCLUDES(ListLock);

  // The port listened on; 0 when not listening. Any thread.
  uint16_t Port() const { return BoundPort.load(std::memory_order_relaxed); }
  // Connections being served now (a connection counts until its serve
  // function has returned and it is closed). Any thread.
  int ConnectionCount() const EXCLUDES(ListLock);
  // Of them, those from `address` (network byte order). Any thread.
  int ConnectionCountFrom(uint32_t address) const EXCLUDES(ListLock);

 private:
  struct TServed {
    TServed(TTcpSocket accepted, uint32_t address, uint16_t port, const std::string& threadName)
        : Connection(std::move(accepted), address, port), Address(address), Thread(threadName) {}
    TConnection Connection;
    const uint32_t Address;
    TThread Thread;
    bool Done = false;  // under ListLock: served and closed, to be joined
  };
  using TServedList = std::list<std::unique_ptr<TServed>>;

  void AcceptLoop(int listener);
  void Serve(TTcpSocket accepted, uint32_t address, uint16_t port) EXCLUDES(ListLock);
  // A connection's thread.
  void Run(TServed& served) EXCLUDES(ListLock);
  // Closes a served connection and marks it done.
  void Finish(TServed& served) EXCLUDES(ListLock);
  // Joins and frees the threads whose connection is done.
  void Reap() EXCLUDES(ListLock);

  // Constant after construction; borrowed.
  ISystem& System;
  IDebugSink& Debug;
  const std::string ThreadName;

  // Set by Start before the accept thread runs; constant while listening.
  TAdmit Admit;
  TServe ServeConnection;

  // The owner's thread's. The accept thread uses the listener's number,
  // which is closed only after that thread has been joined.
  TTcpSocket Socket;
  std::unique_ptr<TThread> AcceptThread;
  TEvent AcceptStop{true, false};  // set by Stop
  // Written by Start and Stop, read by any thread: a plain value.
  std::atomic<uint16_t> BoundPort{0};

  mutable TMutex ListLock;
  TServedList Connections GUARDED_BY(ListLock);
  int Serving GUARDED_BY(ListLock) = 0;  // entries not Done
};
