#include "Common/T_ServerClientThread.h"

#include <exception>
#include <stdexcept>

#include "Common/T_ServerSocket.h"

TServerClientThread::~TServerClientThread() {
  // The server joins before it destroys; a running thread here would use a
  // freed object.
  if (!Thread.Finished()) std::terminate();
}

TCustomWinSocket& TServerClientThread::ClientSocket() const {
  if (Connection == nullptr) throw std::logic_error("TServerClientThread: no connection outside ClientExecute");
  return *Connection;
}

void TServerClientThread::ServeOnCallingThread(TCustomWinSocket& connection) {
  if (Server != nullptr) throw std::logic_error("TServerClientThread: a server's thread serves only through it");
  struct TServed {
    TCustomWinSocket*& Slot;
    ~TServed() { Slot = nullptr; }
  } served{Connection};
  Connection = &connection;
  ClientExecute();
}

void TServerClientThread::Start() { Thread.Start(Server->System, Server->Debug, [this] { Run(); }); }

void TServerClientThread::Run() {
  for (;;) {
    Wake.Wait(kInfiniteWait);
    bool failed = false;
    if (!Terminated()) {
      try {
        ClientExecute();
      } catch (const std::exception& error) {
        failed = true;
        Server->ReportThreadError(error.what());
      } catch (...) {
        failed = true;
        Server->ReportThreadError("Unknown error in a connection thread");
      }
    }
    // After false the server may join and free this object at any moment.
    if (!Server->ConnectionDone(*this, failed)) return;
  }
}
