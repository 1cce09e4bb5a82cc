// SPDX-License-Identifier: Apache-2.0
#include "Common/T_Connection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// "Read error 110, Connection timed out": a failed read or write.
TStatus StreamFailure(const char* operation, const TStatus& call) {
  return TStatus::Failure("", std::string(operation) + " error " + std::to_string(call.Code()) + ", " + call.Reason(),
                          call.Code());
}

}  // namespace

TStatus SocketCallFailure(const TStatus& call) {
  if (call.Ok()) return call;
  return TStatus::Failure("",
                          "Windows socket error: " + call.Reason() + " (" + std::to_string(call.Code()) +
                              "), on API '" + call.Context() + "'",
                          call.Code());
}

TConnection::TConnection(TTcpSocket accepted, uint32_t peerAddress, uint16_t) {
  TMutexLock state(StateLock);
  Handle = std::move(accepted);
  IsOpen = Handle.Valid();
  Peer = peerAddress;
  NoteProgress();
}

TStatus TConnection::Open(INameResolver& resolver, const std::string& host, uint16_t port,
                          const std::string& localAddress, int timeoutMs) {
  if (host.empty()) return TStatus::Failure("", "No address specified");
  // The lookup may take long; it holds no lock, so Shutdown is never held
  // up. A name that does not resolve fails like a refused connection,
  // instead of connecting to 0.0.0.0 (which reaches a local listener).
  uint32_t address = 0;
  if (TStatus resolved = resolver.ResolveIPv4(host, address); !resolved)
    return SocketCallFailure(TStatus::FromErrno(resolved.Code(), "connect"));
  int fd;
  {
    TMutexLock state(StateLock);
    if (IsOpen || Handle.Valid()) return TStatus::Failure("", "Socket already open");
    if (OpenCancelled) return SocketCallFailure(TStatus::FromErrno(ECANCELED, "connect"));
    if (TStatus made = Handle.Create(); !made) return TStatus::Failure("", "Can't create new socket", made.Code());
    if (!localAddress.empty()) {
      uint32_t local = 0;
      TStatus bound = TTcpSocket::ParseAddress(localAddress, local) ? Handle.Bind(local, 0)
                                                                    : TStatus::FromErrno(EADDRNOTAVAIL, "bind");
      if (!bound) {
        (void)Handle.Close();
        return SocketCallFailure(bound);
      }
    }
    fd = Handle.Get();
  }
  TStatus connected = TTcpSocket::Connect(fd, address, port, timeoutMs);
  TMutexLock state(StateLock);
  // A cancelled connect says so, whatever the wake-up left behind; a cancel
  // that came while the connect was being answered still counts.
  if (OpenCancelled) connected = TStatus::FromErrno(ECANCELED, "connect");
  if (!connected) {
    (void)Handle.Close();
    return SocketCallFailure(connected);
  }
  IsOpen = true;
  Peer = address;
  NoteProgress();
  return {};
}

void TConnection::CancelOpen() {
  TMutexLock state(StateLock);
  OpenCancelled = true;
  // A descriptor without a connection is one being connected: the shutdown
  // ends that wait.
  if (Handle.Valid() && !IsOpen) (void)TTcpSocket::Shutdown(Handle.Get());
}

void TConnection::Shutdown() {
  TMutexLock state(StateLock);
  OpenCancelled = true;
  IsShutDown = true;
  // ENOTCONN (never connected, or the peer reset) changes nothing.
  if (Handle.Valid()) (void)TTcpSocket::Shutdown(Handle.Get());
}

void TConnection::Close() {
  Ahead.reset();
  AheadStart = AheadEnd = 0;
  TMutexLock state(StateLock);
  IsOpen = false;
  Peer = 0;
  // The descriptor is gone whatever close says.
  (void)Handle.Close();
}

bool TConnection::Connected() const {
  TMutexLock state(StateLock);
  return IsOpen && !IsShutDown;
}

std::string TConnection::PeerAddress() const {
  TMutexLock state(StateLock);
  return IsOpen ? TTcpSocket::AddressText(Peer) : std::string();
}

int TConnection::Descriptor() const {
  TMutexLock state(StateLock);
  return IsOpen && !IsShutDown ? Handle.Get() : -1;
}

TStatus TConnection::Read(void* buffer, size_t count, const TDeadline& deadline, size_t& received) {
  received = 0;
  if (count == 0) return {};
  const int fd = Descriptor();
  if (fd < 0) return StreamFailure("Read", TStatus::FromErrno(ENOTCONN, "recv"));
  received = TakeAhead(buffer, count);
  if (received == 0) {
    const bool direct = count >= kAheadCapacity;
    if (!direct && !Ahead) Ahead = std::make_unique_for_overwrite<uint8_t[]>(kAheadCapacity);
    size_t got = 0;
    TStatus status = TTcpSocket::Receive(fd, direct ? buffer : Ahead.get(), direct ? count : kAheadCapacity,
                                         deadline.RemainingMs(), got);
    if (!status) return StreamFailure("Read", status);
    AheadEnd = direct ? 0 : got;
    received = direct ? got : TakeAhead(buffer, count);
  }
  if (received > 0) NoteProgress();
  return {};
}

size_t TConnection::TakeAhead(void* buffer, size_t count) {
  const size_t taken = std::min(count, AheadEnd - AheadStart);
  if (taken == 0) return 0;
  std::memcpy(buffer, Ahead.get() + AheadStart, taken);
  AheadStart += taken;
  if (AheadStart == AheadEnd) AheadStart = AheadEnd = 0;
  return taken;
}

TStatus TConnection::Write(const TTcpSocket::TPiece* pieces, size_t count, const TDeadline& deadline) {
  return Send(pieces, count, deadline.RemainingMs(), 0);
}

TStatus TConnection::WriteFrames(const TTcpSocket::TPiece* pieces, size_t count, size_t piecesPerFrame,
                                 int frameTimeoutMs) {
  return Send(pieces, count, frameTimeoutMs, std::max<size_t>(piecesPerFrame, 1));
}

TStatus TConnection::Send(const TTcpSocket::TPiece* pieces, size_t count, int timeoutMs, size_t piecesPerFrame) {
  const int fd = Descriptor();
  if (fd < 0) return StreamFailure("Write", TStatus::FromErrno(ENOTCONN, "send"));
  TStatus sent = TTcpSocket::SendPieces(fd, pieces, count, timeoutMs, piecesPerFrame);
  if (TTcpSocket::TimedOut(sent)) return TStatus::Failure("", "Stream write error", ETIMEDOUT);
  if (!sent) return StreamFailure("Write", sent);
  NoteProgress();
  return {};
}

TStatus TConnection::WaitForBytes(const TDeadline& deadline) {
  const int fd = Descriptor();
  if (fd < 0) return StreamFailure("Read", TStatus::FromErrno(ENOTCONN, "recv"));
  if (AheadEnd > AheadStart) return {};
  if (!Ahead) Ahead = std::make_unique_for_overwrite<uint8_t[]>(kAheadCapacity);
  size_t got = 0;
  // Nothing is held ahead: what arrives lands at the start of the buffer.
  TStatus status = TTcpSocket::Receive(fd, Ahead.get(), kAheadCapacity, deadline.RemainingMs(), got);
  if (!status) return StreamFailure("Read", status);
  AheadStart = 0;
  AheadEnd = got;
  if (got > 0) NoteProgress();
  return {};
}

std::chrono::steady_clock::time_point TConnection::LastProgress() const {
  return std::chrono::steady_clock::time_point(
      std::chrono::steady_clock::duration(ProgressAt.load(std::memory_order_relaxed)));
}

void TConnection::NoteProgress() {
  ProgressAt.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
}
