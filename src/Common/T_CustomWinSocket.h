// TCustomWinSocket: one TCP connection of the blocking socket layer, made by
// a client's Open or accepted by a server. Connected from a successful open
// or accept until Close; the peer closing the connection does not change
// that (a read then answers 0). Bytes received ahead of the reader wait in
// the connection's receive buffer for the next read; Close drops them, so a
// connection opened again starts with nothing. Non-copyable; destruction
// closes.
//
// Threads: the connection is read and written through TWinSocketStream by
// the thread that owns it; any thread may ask its state, Close it or
// CancelOpen it. Close does not wait behind a read, write or connect in
// progress on another thread: it first shuts the socket down, which ends
// that call, then takes the I/O lock and closes the descriptor, so a number
// is never closed while a call still uses it.
//
// Lock order: IoLock (one whole read, write or connect) before StateLock
// (the descriptor and the connection's state, held briefly); the server's
// list lock before both. The process's whole order: Agent/LockOrder.h.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "Common/T_ReceiveBuffer.h"
#include "Platform/I_NameResolver.h"
#include "Platform/T_Mutex.h"
#include "Platform/T_TcpSocket.h"

class TCustomWinSocket {
 public:
  // A closed connection. A non-blocking one (asynchronous notification in
  // the original design) is refused by every stream view; the agent uses
  // only blocking connections.
  explicit TCustomWinSocket(bool blocking = true);
  // An accepted connection, connected, with the peer's address and port.
  TCustomWinSocket(TTcpSocket accepted, uint32_t remoteAddress, uint16_t remotePort);
  // Closes, ignoring any error.
  virtual ~TCustomWinSocket();
  TCustomWinSocket(const TCustomWinSocket&) = delete;
  TCustomWinSocket& operator=(const TCustomWinSocket&) = delete;

  // How long Open waits for an answer before it gives up, as a Windows
  // connect does (an unanswered SYN would otherwise be retried for minutes).
  static constexpr int kConnectTimeoutMs = 20000;

  // Connects to `host` (a dotted IPv4 text or a name that `resolver` turns
  // into an address) and `port`, blocking until the connection is made or
  // refused, at most kConnectTimeoutMs. Raises ESocketError: "Socket already
  // open" when connected, "No address specified" for an empty host, "Can't
  // create new socket", and the "connect" text when the host does not
  // resolve (EHOSTUNREACH), the time runs out (ETIMEDOUT), the open was
  // cancelled (ECANCELED) or the connect fails; the connection is then closed.
  // A non-empty `localAddress` (a dotted IPv4 text) is bound first, so the
  // connection leaves from that address; the "bind" text when it cannot be.
  void Open(INameResolver& resolver, const std::string& host, uint16_t port, const std::string& localAddress = "")
      EXCLUDES(IoLock, StateLock);

  // Gives up opening, for good: a connect in progress on another thread ends
  // at once and every later Open fails with the "connect" text (ECANCELED).
  // An open connection stays open. Any thread.
  void CancelOpen() EXCLUDES(StateLock);

  // Closes the connection; nothing when it is not open. Raises the
  // "closesocket" text when the system reports an error (the connection is
  // closed all the same).
  void Close() EXCLUDES(IoLock, StateLock);

  bool Connected() const EXCLUDES(StateLock);
  bool Blocking() const { return BlockingMode; }
  // The peer's dotted IPv4 address; empty when not connected.
  std::string RemoteAddress() const EXCLUDES(StateLock);
  // The peer's port; 0 when not connected.
  uint16_t RemotePort() const EXCLUDES(StateLock);

  // When bytes last moved: the open, or the end of the last read or write
  // of a stream view that moved any. Any thread.
  std::chrono::steady_clock::time_point LastProgress() const;

 private:
  friend class TWinSocketStream;

  // The descriptor for one read or write; -1 when the connection is closed.
  // The caller holds IoLock, so the number stays open until it lets go.
  int IoDescriptor() REQUIRES(IoLock) EXCLUDES(StateLock);
  // Stream views: bytes moved just now.
  void NoteProgress();

  // Constant after construction.
  const bool BlockingMode;

  // Held for one whole read, write or connect, and while Close releases the
  // descriptor.
  mutable TMutex IoLock ACQUIRED_BEFORE(StateLock);

  // Received bytes the stream views have not taken yet.
  TReceiveBuffer Received GUARDED_BY(IoLock);

  // The descriptor changes only under both locks; it is read under either.
  mutable TMutex StateLock;
  TTcpSocket Handle GUARDED_BY(StateLock);
  bool IsConnected GUARDED_BY(StateLock) = false;
  uint32_t PeerAddress GUARDED_BY(StateLock) = 0;
  uint16_t PeerPort GUARDED_BY(StateLock) = 0;
  bool OpenCancelled GUARDED_BY(StateLock) = false;

  // Written by the thread doing I/O, read by any thread watching for a
  // silent peer: a plain time stamp (steady clock ticks), relaxed.
  std::atomic<std::chrono::steady_clock::rep> ProgressAt{0};
};
