#include "Common/T_CustomWinSocket.h"

#include <cerrno>

#include "Common/E_SocketError.h"

TCustomWinSocket::TCustomWinSocket(bool blocking) : BlockingMode(blocking) {}

TCustomWinSocket::TCustomWinSocket(TTcpSocket accepted, uint32_t remoteAddress, uint16_t remotePort)
    : BlockingMode(true) {
  TMutexLock state(StateLock);
  Handle = std::move(accepted);
  IsConnected = Handle.Valid();
  PeerAddress = remoteAddress;
  PeerPort = remotePort;
}

TCustomWinSocket::~TCustomWinSocket() {
  try {
    Close();
  } catch (const ESocketError&) {
    // The descriptor is gone either way.
  }
}

void TCustomWinSocket::Open(INameResolver& resolver, const std::string& host, uint16_t port,
                            const std::string& localAddress) {
  if (Connected()) throw ESocketError(kSocketAlreadyOpen);
  if (host.empty()) throw ESocketError(kNoAddressSpecified);
  // The lookup may take long; it holds no lock, so Close is never held up.
  uint32_t address = 0;
  int resolved = resolver.ResolveIPv4(host, address);
  TMutexLock io(IoLock);
  Received.Clear();
  int fd;
  {
    TMutexLock state(StateLock);
    if (IsConnected || Handle.Valid()) throw ESocketError(kSocketAlreadyOpen);
    if (OpenCancelled) throw ESocketError::FromCall(ECANCELED, "connect");
    if (Handle.Create() != 0) throw ESocketError(kCantCreateSocket);
    if (!localAddress.empty()) {
      uint32_t local = 0;
      int error = TTcpSocket::ParseAddress(localAddress, local) ? Handle.Bind(local, 0) : EADDRNOTAVAIL;
      if (error != 0) {
        Handle.Close();
        throw ESocketError::FromCall(error, "bind");
      }
    }
    fd = Handle.Get();
  }
  // A name that does not resolve fails here, like a refused connection,
  // instead of connecting to 0.0.0.0 (which reaches a local listener).
  int error = resolved != 0 ? resolved : TTcpSocket::Connect(fd, address, port, kConnectTimeoutMs);
  if (error == TTcpSocket::kTimedOut) error = ETIMEDOUT;
  TMutexLock state(StateLock);
  // A cancelled connect says so, whatever the wake-up left behind; a cancel
  // that came while the connect was being answered still counts.
  if (OpenCancelled) error = ECANCELED;
  if (error != 0) {
    Handle.Close();
    throw ESocketError::FromCall(error, "connect");
  }
  IsConnected = true;
  PeerAddress = address;
  PeerPort = port;
  NoteProgress();
}

void TCustomWinSocket::CancelOpen() {
  TMutexLock state(StateLock);
  OpenCancelled = true;
  // A descriptor without a connection is one being connected: the shutdown
  // ends that wait.
  if (Handle.Valid() && !IsConnected) TTcpSocket::Shutdown(Handle.Get());
}

void TCustomWinSocket::Close() {
  {
    TMutexLock state(StateLock);
    if (!Handle.Valid()) return;
    // Wakes a read, write or connect blocked under IoLock on another thread.
    // ENOTCONN (never connected, or the peer reset) changes nothing.
    TTcpSocket::Shutdown(Handle.Get());
  }
  TMutexLock io(IoLock);
  Received.Clear();
  TMutexLock state(StateLock);
  if (!Handle.Valid()) return;  // another thread closed it meanwhile
  IsConnected = false;
  PeerAddress = 0;
  PeerPort = 0;
  int error = Handle.Close();
  if (error != 0) throw ESocketError::FromCall(error, "closesocket");
}

bool TCustomWinSocket::Connected() const {
  TMutexLock state(StateLock);
  return IsConnected;
}

std::string TCustomWinSocket::RemoteAddress() const {
  TMutexLock state(StateLock);
  return IsConnected ? TTcpSocket::AddressText(PeerAddress) : std::string();
}

uint16_t TCustomWinSocket::RemotePort() const {
  TMutexLock state(StateLock);
  return IsConnected ? PeerPort : 0;
}

std::chrono::steady_clock::time_point TCustomWinSocket::LastProgress() const {
  return std::chrono::steady_clock::time_point(
      std::chrono::steady_clock::duration(ProgressAt.load(std::memory_order_relaxed)));
}

void TCustomWinSocket::NoteProgress() {
  ProgressAt.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
}

int TCustomWinSocket::IoDescriptor() {
  TMutexLock state(StateLock);
  return IsConnected ? Handle.Get() : -1;
}
