// SPDX-License-Identifier: Apache-2.0
#include "Common/T_Listener.h"

#include <cerrno>

namespace {

// Pause after an accept failure other than an aborted connection (no free
// descriptor, no memory), so that the accept thread does not spin.
constexpr int kAcceptRetryMs = 100;

}  // namespace

TListener::TListener(ISystem& system, IDebugSink& debug, std::string threadName)
    : System(system), Debug(debug), ThreadName(std::move(threadName)) {}

TStatus OpenListeningSocket(const std::string& address, uint16_t port, TTcpSocket& listening, uint16_t& bound) {
  TTcpSocket listener;
  if (TStatus made = listener.Create(); !made) return TStatus::Failure("", "Can't create new socket", made.Code());
  uint32_t local = 0;  // INADDR_ANY: every local address
  if (!address.empty() && !TTcpSocket::ParseAddress(address, local))
    return SocketCallFailure(TStatus::FromErrno(EADDRNOTAVAIL, "bind"));
  if (TStatus made = listener.Bind(local, port); !made) return SocketCallFailure(made);
  if (TStatus made = listener.Listen(); !made) return SocketCallFailure(made);
  bound = 0;
  (void)listener.LocalPort(bound);
  listening = std::move(listener);
  return {};
}

TStatus TListener::Start(const std::string& address, uint16_t port, TAdmit admit, TServe serve) {
  if (Socket.Valid() || AcceptThread) return TStatus::Failure("", "Can't listen on an open socket");
  TTcpSocket listener;
  uint16_t bound = 0;
  if (TStatus opened = OpenListeningSocket(address, port, listener, bound); !opened) return opened;
  Admit = std::move(admit);
  ServeConnection = std::move(serve);
  Socket = std::move(listener);
  AcceptStop.Reset();
  AcceptThread = std::make_unique<TThread>("Accept thread");
  if (TStatus started = AcceptThread->TryStart(System, Debug, [this, fd = Socket.Get()] { AcceptLoop(fd); });
      !started) {
    // Nobody would accept: the kernel would take connections that are
    // never served. The port goes back, and Start may be tried again.
    AcceptThread.reset();
    (void)Socket.Close();
    return TStatus::Failure("accept thread cannot be made", started.Reason(), started.Code());
  }
  BoundPort.store(bound, std::memory_order_relaxed);
  return {};
}

void TListener::Stop() {
  if (!AcceptThread) return;
  BoundPort.store(0, std::memory_order_relaxed);
  // The accept thread first, so that no connection arrives meanwhile. The
  // shutdown ends a blocked accept; the number stays open until joined.
  AcceptStop.Set();
  (void)TTcpSocket::Shutdown(Socket.Get());
  AcceptThread->Join();
  AcceptThread.reset();
  // Every connection ends at once, then every thread is waited for: the
  // sessions end side by side.
  TServedList connections;
  {
    TMutexLock list(ListLock);
    for (auto& served : Connections) served->Connection.Shutdown();
    connections.swap(Connections);
  }
  for (auto& served : connections) served->Thread.Join();
  connections.clear();
  (void)Socket.Close();
}

int TListener::ConnectionCount() const {
  TMutexLock list(ListLock);
  return Serving;
}

int TListener::ConnectionCountFrom(uint32_t address) const {
  TMutexLock list(ListLock);
  int count = 0;
  for (const auto& served : Connections) count += !served->Done && served->Address == address;
  return count;
}

void TListener::AcceptLoop(int listener) {
  while (!AcceptStop.IsSet()) {
    TTcpSocket accepted;
    uint32_t address = 0;
    uint16_t port = 0;
    TStatus status = TTcpSocket::Accept(listener, accepted, address, port);
    if (AcceptStop.IsSet()) break;  // a connection accepted just now is closed
    Reap();
    if (status) {
      Serve(std::move(accepted), address, port);
    } else if (status.Code() != ECONNABORTED) {
      AcceptStop.Wait(kAcceptRetryMs);
    }
  }
}

void TListener::Serve(TTcpSocket accepted, uint32_t address, uint16_t port) {
  // Only this thread adds connections, so the count cannot grow before the
  // new one is counted.
  if (Admit && !Admit(address, ConnectionCount())) return;  // `accepted` closes here
  auto made = std::make_unique<TServed>(std::move(accepted), address, port, ThreadName);
  TServed& served = *made;
  {
    TMutexLock list(ListLock);
    Connections.push_back(std::move(made));
    ++Serving;
  }
  if (TStatus started = served.Thread.TryStart(System, Debug, [this, &served] { Run(served); }); !started) {
    // No thread: the connection is closed unserved.
    Debug.Write(ThreadName + ": " + started.Reason());
    Finish(served);
  }
}

void TListener::Run(TServed& served) {
  // However the serve function leaves, the connection is closed and stops
  // counting.
  struct TFinish {
    TListener& Listener;
    TServed& Served;
    ~TFinish() { Listener.Finish(Served); }
  } finish{*this, served};
  ServeConnection(served.Connection);
}

void TListener::Finish(TServed& served) {
  served.Connection.Close();
  TMutexLock list(ListLock);
  served.Done = true;
  --Serving;
}

void TListener::Reap() {
  TServedList done;
  {
    TMutexLock list(ListLock);
    for (auto next = Connections.begin(); next != Connections.end();) {
      auto current = next++;
      if ((*current)->Done) done.splice(done.end(), Connections, current);
    }
  }
  for (auto& served : done) served->Thread.Join();
}
