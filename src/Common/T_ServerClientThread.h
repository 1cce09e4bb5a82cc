// TServerClientThread: the thread that serves one accepted connection of a
// TServerSocket, running the handler ClientExecute once per connection. A
// server's owner supplies a class derived from it (through the server's
// get-thread hook) that overrides ClientExecute; the default handler does
// nothing, so the connection is closed at once. After the handler the
// server frees the connection; the thread then ends, unless the server's
// thread cache keeps it waiting for another connection (never with a cache
// size of 0). The server owns the object: it joins the thread and destroys
// the object afterwards, on another thread, so teardown belongs at the end
// of ClientExecute, not in the destructor. The thread (a TThread, made by the
// server's ISystem) bears the name given at construction; its priority is
// the handler's to set.
#pragma once

#include <string>

#include "Common/T_CustomWinSocket.h"
#include "Platform/T_Event.h"
#include "Platform/T_Thread.h"

class TServerSocket;

class TServerClientThread {
 public:
  explicit TServerClientThread(std::string name = "Connection thread") : Thread(std::move(name)) {}
  // Precondition: the thread has ended and been joined (the server does it).
  virtual ~TServerClientThread();
  TServerClientThread(const TServerClientThread&) = delete;
  TServerClientThread& operator=(const TServerClientThread&) = delete;

  // The connection being served; only inside ClientExecute.
  TCustomWinSocket& ClientSocket() const;
  // The server the thread belongs to; only inside ClientExecute.
  TServerSocket& ServerSocket() const { return *Server; }

  // Asks the thread to end: the handler should return soon, and the thread
  // is not kept for another connection. Any thread. The server calls it
  // when it deactivates, after closing the connection.
  void Terminate() { Thread.RequestStop(); }
  bool Terminated() const { return Thread.StopRequested(); }

  // Runs the handler once for `connection` (borrowed) on the calling
  // thread, without a server: the connection seam for feeding a handler
  // from memory. Only for an object no server owns; ServerSocket() is then
  // unavailable. Errors from the handler propagate.
  void ServeOnCallingThread(TCustomWinSocket& connection);

 protected:
  // The connection handler, run on this thread once per connection. An
  // error that escapes it goes to the server's thread-error hook, and the
  // thread is not kept.
  virtual void ClientExecute() {}

 private:
  friend class TServerSocket;

  // Throws the system's refusal to make the thread.
  void Start();
  void Run();
  void Join() { Thread.Join(); }

  // Set by the server before Start; constant afterwards.
  TServerSocket* Server = nullptr;  // borrowed

  // Written by the server under its list lock (set before Wake is set, so
  // the thread sees it when it wakes; cleared when the connection is freed).
  TCustomWinSocket* Connection = nullptr;  // borrowed from the server's list
  // Set under the server's list lock by deactivation: the server will join
  // this thread, so it must not retire itself.
  bool ServerWaits = false;

  TEvent Wake{false, false};  // auto-reset: one connection (or the end) per Set
  // Its stop request is the terminated flag: set by any thread, read by the
  // handler's loop and the server.
  TThread Thread;
};
