// TWinSocketStream: a stream view over a blocking connection whose reads and
// writes all end by one deadline: the view's time-out in milliseconds from
// its making (kInfiniteWait or a negative value: no limit). A view serves one
// frame or one exchange, so a peer that moves one byte now and then cannot
// stretch it past the time-out. A time-out never raises: the call answers 0
// and the caller decides. Socket errors raise ESocketError "%s error %d,
// %s" ("Read" or "Write", the errno code, its text). The view borrows the
// connection, which must outlive it and stays open when it goes; views are
// made one after another for single framing operations. Used by the thread
// that owns the connection; each call holds the connection's I/O lock, so
// Close from another thread ends a call in progress.
#pragma once

#include <chrono>
#include <cstdint>

#include "Common/T_CustomWinSocket.h"
#include "Platform/TimeLimit.h"

class TWinSocketStream {
 public:
  // Raises "Socket must be in blocking mode" for a non-blocking connection.
  TWinSocketStream(TCustomWinSocket& socket, int timeoutMs);
  TWinSocketStream(const TWinSocketStream&) = delete;
  TWinSocketStream& operator=(const TWinSocketStream&) = delete;

  // Receives up to `count` bytes into `buffer`: the number received (fewer
  // than asked when fewer are waiting), 0 when the deadline passed without
  // data, when the peer has closed the connection or when it is closed
  // meanwhile. On a closed connection raises "Read error 107, ...". Bytes
  // already in the connection's receive buffer are taken without a system
  // call; when it is empty, one receive brings whatever has arrived (up to
  // the buffer's capacity, or straight into `buffer` when that asks for at
  // least as much).
  int32_t Read(void* buffer, int32_t count);

  // Sends all `count` bytes: answers `count`, or 0 when the deadline
  // passed first (part may have gone out; the connection is then unfit for
  // framing). On a closed connection raises "Write error 107, ...".
  int32_t Write(const void* buffer, int32_t count);

  // Sends `firstCount` bytes of `first` and then `secondCount` of `second`
  // as one write (a frame's length and payload leave in one segment when
  // they fit): the total, or 0 on time-out, errors as Write.
  int32_t WriteGather(const void* first, int32_t firstCount, const void* second, int32_t secondCount);

  // Sends `count` (at most TTcpSocket::kMaxPieces) pieces one after another
  // as one write: the total, or 0 on time-out or when the total is 0 or
  // beyond 2 GB; errors as Write.
  int32_t WritePieces(const TTcpSocket::TPiece* pieces, size_t count);

  // Not supported: always 0.
  int64_t Seek(int64_t offset, int origin) const;

  int TimeOut() const { return TimeOutMs; }

 private:
  using TClock = std::chrono::steady_clock;

  // What is left of the time-out for the next socket call: kInfiniteWait
  // without a limit, 0 once the deadline has passed.
  int RemainingMs() const;

  TCustomWinSocket& Socket;  // borrowed
  const int TimeOutMs;
  const TClock::time_point Deadline;  // meaningful only with a limit
};
