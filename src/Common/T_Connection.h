// SPDX-License-Identifier: Apache-2.0
// TConnection: one TCP connection, made by Open or accepted by a TListener.
// It owns its descriptor, the peer's address and the bytes received ahead of
// the reader. Every read and write ends by the deadline it is given and
// reports failure as a TStatus; a time-out never leaves data half taken.
// Open from a successful Open or accept until Close; the peer closing the
// connection does not change that (a read then answers 0 bytes).
//
// Threads: one thread at a time reads and writes (the owner, or callers that
// serialise whole exchanges under a lock of their own), and only the owner
// opens and closes. Any thread may Shutdown or CancelOpen: a connect, read or
// write in progress ends at once, because the descriptor is shut down, never
// closed under it; the owner closes it afterwards. StateLock (the
// descriptor and the flags, held briefly, never across a wait) is a leaf:
// see Agent/LockOrder.h for the process's whole order.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "Platform/I_NameResolver.h"
#include "Platform/T_Mutex.h"
#include "Platform/T_Status.h"
#include "Platform/T_TcpSocket.h"
#include "Platform/TimeLimit.h"

class TConnection {
 public:
  // How long Open waits for an answer before it gives up (an unanswered SYN
  // would otherwise be retried for minutes).
  static constexpr int kConnectTimeoutMs = 20000;

  // Closed.
  TConnection() = default;
  // An accepted connection, open, with the peer's address (network byte
  // order) and port.
  TConnection(TTcpSocket accepted, uint32_t peerAddress, uint16_t peerPort);
  // Closes.
  ~TConnection() { Close(); }
  TConnection(const TConnection&) = delete;
  TConnection& operator=(const TConnection&) = delete;

  // Connects to `host` (a dotted IPv4 text or a name `resolver` turns into an
  // address) and `port`, waiting at most `timeoutMs` for the connection to
  // be made or refused; a non-empty `localAddress` (dotted IPv4) is bound
  // first, so the connection leaves from it. Failures read "Windows socket
  // error: <reason> (<code>), on API 'connect'" (or 'bind'), with the code:
  // EHOSTUNREACH for a name that does not resolve, ETIMEDOUT when the time
  // runs out, ECANCELED after CancelOpen or Shutdown; "No address specified"
  // for an empty host, "Socket already open" when open. A failed open leaves
  // the connection closed. Owner.
  TStatus Open(INameResolver& resolver, const std::string& host, uint16_t port, const std::string& localAddress = "",
               int timeoutMs = kConnectTimeoutMs) EXCLUDES(StateLock);

  // Gives up opening, for good: a connect in progress ends at once, and
  // every later Open fails (ECANCELED). An open connection stays open. Any
  // thread.
  void CancelOpen() EXCLUDES(StateLock);
  // Ends the connection for good: as CancelOpen, and a read or write in
  // progress ends at once, and every later one fails. The descriptor stays
  // until Close. Any thread.
  void Shutdown() EXCLUDES(StateLock);
  // Closes the descriptor and drops what was received; nothing when closed.
  // A connection opened again starts afresh (unless it was shut down).
  // Owner, with no read or write in progress on another thread.
  void Close() EXCLUDES(StateLock);

  // The descriptor, for one read or write or for handing the connection to
  // another process; -1 when closed or shut down.
  int Descriptor() const EXCLUDES(StateLock);
  // Open and not shut down. Any thread.
  bool Connected() const EXCLUDES(StateLock);
  // The peer's dotted IPv4 address; empty when closed. Any thread.
  std::string PeerAddress() const EXCLUDES(StateLock);

  // Receives up to `count` (> 0) bytes by `deadline`: `received` is how many
  // (fewer than asked when fewer are waiting), 0 when the peer has closed
  // the connection. Bytes already received ahead are taken without a system
  // call; otherwise one receive brings whatever has arrived (up to
  // kAheadCapacity, kept for the next reads, or straight into `buffer` when
  // it asks for at least that much): frames that arrived together cost one
  // receive. Fails with
  // ETIMEDOUT ("Read error 110, ...") when the deadline passes first, ENOTCONN
  // when the connection is closed or shut down, else the system's error:
  // "Read error <code>, <reason>".
  TStatus Read(void* buffer, size_t count, const TDeadline& deadline, size_t& received) EXCLUDES(StateLock);
  // Sends every byte of the `count` pieces (at most TTcpSocket::kMaxPieces)
  // by `deadline`, in as few system calls as the socket allows. Fails as
  // Read does, with "Write" ("Stream write error" for a time-out); a failure
  // may leave part sent, and the connection is then unfit for framing.
  TStatus Write(const TTcpSocket::TPiece* pieces, size_t count, const TDeadline& deadline) EXCLUDES(StateLock);
  // As Write, for pieces that make frames of `piecesPerFrame` (> 0) each:
  // each frame has `frameTimeoutMs` of its own, from when the one before it
  // has gone out (the first: from the call).
  TStatus WriteFrames(const TTcpSocket::TPiece* pieces, size_t count, size_t piecesPerFrame, int frameTimeoutMs)
      EXCLUDES(StateLock);
  // Waits by `deadline` until a Read would not wait: bytes have arrived
  // (they stay for the next Read) or the peer has closed the connection.
  // Fails as Read does (ETIMEDOUT when neither came in time).
  TStatus WaitForBytes(const TDeadline& deadline) EXCLUDES(StateLock);

  // When bytes last moved: the open, or the last read or write that moved
  // any. Any thread.
  std::chrono::steady_clock::time_point LastProgress() const;

 private:
  static constexpr size_t kAheadCapacity = 16 * 1024;

  // Moves up to `count` bytes received ahead to `buffer`: how many.
  size_t TakeAhead(void* buffer, size_t count);
  // Write and WriteFrames: the pieces' send, `piecesPerFrame` 0 for one
  // time-out in all.
  TStatus Send(const TTcpSocket::TPiece* pieces, size_t count, int timeoutMs, size_t piecesPerFrame)
      EXCLUDES(StateLock);
  void NoteProgress();

  mutable TMutex StateLock;
  TTcpSocket Handle GUARDED_BY(StateLock);
  bool IsOpen GUARDED_BY(StateLock) = false;
  bool IsShutDown GUARDED_BY(StateLock) = false;
  bool OpenCancelled GUARDED_BY(StateLock) = false;
  uint32_t Peer GUARDED_BY(StateLock) = 0;

  // The reader's: bytes received ahead, [AheadStart, AheadEnd) of Ahead
  // (allocated at the first receive into it, given back by Close).
  std::unique_ptr<uint8_t[]> Ahead;
  size_t AheadStart = 0;
  size_t AheadEnd = 0;

  // Written by the thread doing I/O, read by any thread watching for a
  // silent peer: a plain time stamp (steady clock ticks), relaxed.
  std::atomic<std::chrono::steady_clock::rep> ProgressAt{0};
};

// The texts of a failed socket call ("Windows socket error: Address already
// in use (98), on API 'bind'") from a Platform call's status, whose context
// names the call. Ok stays ok.
TStatus SocketCallFailure(const TStatus& call);
