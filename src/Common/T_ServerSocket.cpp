#include "Common/T_ServerSocket.h"

#include <algorithm>
#include <cerrno>
#include <exception>

#include "Common/E_SocketError.h"

namespace {

// Pause after an accept failure other than an aborted connection (no free
// descriptor, no memory), so that the accept thread does not spin.
constexpr int kAcceptRetryMs = 100;

}  // namespace

TServerSocket::~TServerSocket() {
  try {
    Deactivate();
  } catch (...) {
    // Deactivation swallows the connections' errors; nothing is left to do.
  }
}

void TServerSocket::RequireInactive() const {
  if (IsActive) throw ESocketError(kCantChangeWhileActive);
}

void TServerSocket::SetPort(uint16_t port) {
  RequireInactive();
  PortNumber = port;
}

void TServerSocket::SetAddress(const std::string& address) {
  RequireInactive();
  LocalAddress = address;
}

void TServerSocket::SetOnAccept(TAcceptHook hook) {
  RequireInactive();
  OnAccept = std::move(hook);
}

void TServerSocket::SetOnGetThread(TGetThreadHook hook) {
  RequireInactive();
  OnGetThread = std::move(hook);
}

void TServerSocket::SetOnListen(TListenHook hook) {
  RequireInactive();
  OnListen = std::move(hook);
}

void TServerSocket::SetOnThreadError(TThreadErrorHook hook) {
  RequireInactive();
  OnThreadError = std::move(hook);
}

void TServerSocket::SetThreadCacheSize(int size) {
  TMutexLock list(ListLock);
  CacheSize = std::max(size, 0);
}

int TServerSocket::ThreadCacheSize() const {
  TMutexLock list(ListLock);
  return CacheSize;
}

void TServerSocket::Activate() {
  if (IsActive) throw ESocketError(kCantListenOnOpen);
  TTcpSocket listener;
  if (listener.Create() != 0) throw ESocketError(kCantCreateSocket);
  uint32_t address = 0;  // INADDR_ANY: every local address
  if (!LocalAddress.empty() && !TTcpSocket::ParseAddress(LocalAddress, address))
    throw ESocketError::FromCall(EADDRNOTAVAIL, "bind");
  if (int error = listener.Bind(address, PortNumber); error != 0) throw ESocketError::FromCall(error, "bind");
  Listener = std::move(listener);
  try {
    if (OnListen) OnListen(*this);
    if (int error = Listener.Listen(); error != 0) throw ESocketError::FromCall(error, "listen");
    AcceptStop.Reset();
    AcceptThread = std::make_unique<TThread>("Accept thread");
    AcceptThread->Start(System, Debug, [this, listener = Listener.Get()] { AcceptLoop(listener); });
  } catch (...) {
    AcceptThread.reset();
    Listener.Close();
    throw;
  }
  IsActive = true;
}

void TServerSocket::Deactivate() {
  if (!IsActive) return;
  // The accept thread first, so that no connection thread starts meanwhile.
  // The shutdown ends a blocked accept; the number stays open until joined.
  AcceptStop.Set();
  TTcpSocket::Shutdown(Listener.Get());
  AcceptThread->Join();
  AcceptThread.reset();

  int savedCacheSize;
  {
    TMutexLock list(ListLock);
    savedCacheSize = CacheSize;
    CacheSize = 0;
  }
  // Newest first: stop each thread freeing itself, tell it to terminate,
  // wake it if it idles in the cache, close its connection so that a read
  // blocked on it returns, then wait for it and free it.
  for (;;) {
    std::unique_ptr<TServerClientThread> thread;
    {
      TMutexLock list(ListLock);
      if (Threads.empty()) break;
      thread = std::move(Threads.back());
      Threads.pop_back();
      thread->ServerWaits = true;
      thread->Terminate();
      thread->Wake.Set();
      if (thread->Connection != nullptr) {
        try {
          thread->Connection->Close();
        } catch (const ESocketError&) {
          // Closed all the same.
        }
      }
    }
    thread->Join();
  }

  TThreadList retired;
  std::vector<std::unique_ptr<TCustomWinSocket>> connections;
  {
    TMutexLock list(ListLock);
    retired.swap(Retired);
    connections.swap(Connections);
    CacheSize = savedCacheSize;
  }
  JoinAll(retired);
  connections.clear();  // connections no thread took (normally none)
  Listener.Close();
  IsActive = false;
}

uint16_t TServerSocket::LocalPort() const {
  uint16_t port = 0;
  if (!Listener.Valid() || Listener.LocalPort(port) != 0) return 0;
  return port;
}

int TServerSocket::ThreadCount() const {
  TMutexLock list(ListLock);
  return static_cast<int>(Threads.size());
}

int TServerSocket::ConnectionCount() const {
  TMutexLock list(ListLock);
  return static_cast<int>(Connections.size());
}

void TServerSocket::AcceptLoop(int listener) {
  while (!AcceptStop.IsSet()) {
    TTcpSocket accepted;
    uint32_t address = 0;
    uint16_t port = 0;
    int error = TTcpSocket::Accept(listener, accepted, address, port);
    if (AcceptStop.IsSet()) break;  // a connection accepted just now is closed
    try {
      ReapRetired();
      if (error == 0) {
        HandOver(std::move(accepted), address, port);
      } else if (error != ECONNABORTED) {
        AcceptStop.Wait(kAcceptRetryMs);
      }
    } catch (const std::exception& failure) {
      // Nothing may end the accept thread but Deactivate.
      ReportThreadError(failure.what());
    }
  }
}

void TServerSocket::HandOver(TTcpSocket accepted, uint32_t address, uint16_t port) {
  try {
    if (OnAccept && !OnAccept(address)) return;  // `accepted` closes here
    auto connection = std::make_unique<TCustomWinSocket>(std::move(accepted), address, port);
    {
      // An idle cached thread takes it if there is one.
      TMutexLock list(ListLock);
      for (auto& cached : Threads) {
        if (cached->Connection == nullptr && !cached->Terminated()) {
          cached->Connection = connection.get();
          Connections.push_back(std::move(connection));
          cached->Wake.Set();
          return;
        }
      }
    }
    std::unique_ptr<TServerClientThread> thread;
    if (OnGetThread) thread = OnGetThread(*connection);
    if (thread == nullptr) thread = std::make_unique<TServerClientThread>();
    TMutexLock list(ListLock);
    thread->Server = this;
    thread->Connection = connection.get();
    // Room first, so that nothing can fail once the thread runs; it is
    // started before it joins the lists (it only waits for its wake event),
    // so a failure to start leaves the lists as they were.
    Connections.reserve(Connections.size() + 1);
    Threads.reserve(Threads.size() + 1);
    thread->Start();
    thread->Wake.Set();
    Connections.push_back(std::move(connection));
    Threads.push_back(std::move(thread));
  } catch (const std::exception& error) {
    ReportThreadError(error.what());
  }
}

bool TServerSocket::ConnectionDone(TServerClientThread& thread, bool failed) {
  // Destroyed (closing the connection) after the list lock is released.
  std::unique_ptr<TCustomWinSocket> freed;
  TThreadList finished;
  {
    TMutexLock list(ListLock);
    if (thread.Connection != nullptr) {
      auto found = std::find_if(Connections.begin(), Connections.end(),
                                [&](const auto& connection) { return connection.get() == thread.Connection; });
      if (found != Connections.end()) {
        freed = std::move(*found);
        Connections.erase(found);
      }
      thread.Connection = nullptr;
    }
    if (thread.ServerWaits) return false;
    if (!failed && !thread.Terminated()) {
      int idle = static_cast<int>(std::count_if(Threads.begin(), Threads.end(), [&](const auto& other) {
        return other.get() != &thread && other->Connection == nullptr && !other->Terminated();
      }));
      if (idle < CacheSize) return true;
    }
    // Retire: the next one to retire (or the accept thread, or Deactivate)
    // joins and frees this thread; this one frees those retired before it.
    auto self = std::find_if(Threads.begin(), Threads.end(),
                             [&](const auto& other) { return other.get() == &thread; });
    if (self == Threads.end()) return false;  // not the server's: cannot happen
    finished.swap(Retired);
    Retired.push_back(std::move(*self));
    Threads.erase(self);
  }
  JoinAll(finished);
  return false;
}

void TServerSocket::ReportThreadError(const std::string& message) {
  if (!OnThreadError) return;
  try {
    OnThreadError(message);
  } catch (...) {
    // A failing error display must not end the thread's clean-up.
  }
}

void TServerSocket::ReapRetired() {
  TThreadList finished;
  {
    TMutexLock list(ListLock);
    finished.swap(Retired);
  }
  JoinAll(finished);
}

void TServerSocket::JoinAll(TThreadList& threads) {
  for (auto& thread : threads) thread->Join();
  threads.clear();
}
