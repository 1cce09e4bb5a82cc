#include "Common/T_WinSocketStream.h"

#include <algorithm>
#include <cerrno>

#include "Common/E_SocketError.h"

TWinSocketStream::TWinSocketStream(TCustomWinSocket& socket, int timeoutMs)
    : Socket(socket),
      TimeOutMs(timeoutMs),
      Deadline(HasTimeLimit(timeoutMs) ? TClock::now() + std::chrono::milliseconds(timeoutMs) : TClock::time_point()) {
  if (!Socket.Blocking()) throw ESocketError(kSocketMustBeBlocking);
}

int TWinSocketStream::RemainingMs() const {
  if (!HasTimeLimit(TimeOutMs)) return kInfiniteWait;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - TClock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, TimeOutMs));
}

int32_t TWinSocketStream::Read(void* buffer, int32_t count) {
  if (count <= 0) return 0;
  TMutexLock io(Socket.IoLock);
  int fd = Socket.IoDescriptor();
  if (fd < 0) throw ESocketError::FromStream("Read", ENOTCONN);
  TReceiveBuffer& held = Socket.Received;
  size_t taken = held.Take(buffer, static_cast<size_t>(count));
  if (taken == 0) {
    const bool direct = static_cast<size_t>(count) >= TReceiveBuffer::kCapacity;
    size_t received = 0;
    int error = direct ? TTcpSocket::Receive(fd, buffer, static_cast<size_t>(count), RemainingMs(), received)
                       : TTcpSocket::Receive(fd, held.Room(), TReceiveBuffer::kCapacity, RemainingMs(), received);
    if (error == TTcpSocket::kTimedOut) return 0;
    if (error != 0) throw ESocketError::FromStream("Read", error);
    if (direct) {
      taken = received;
    } else {
      held.Received(received);
      taken = held.Take(buffer, static_cast<size_t>(count));
    }
  }
  if (taken > 0) Socket.NoteProgress();
  return static_cast<int32_t>(taken);
}

int32_t TWinSocketStream::Write(const void* buffer, int32_t count) { return WriteGather(buffer, count, nullptr, 0); }

int32_t TWinSocketStream::WriteGather(const void* first, int32_t firstCount, const void* second, int32_t secondCount) {
  const TTcpSocket::TPiece pieces[2] = {{first, static_cast<size_t>(std::max(firstCount, 0))},
                                        {second, static_cast<size_t>(std::max(secondCount, 0))}};
  return WritePieces(pieces, 2);
}

int32_t TWinSocketStream::WritePieces(const TTcpSocket::TPiece* pieces, size_t count) {
  if (count > TTcpSocket::kMaxPieces) return 0;
  uint64_t total = 0;
  for (size_t i = 0; i < count; ++i) total += pieces[i].Size;
  if (total == 0 || total > INT32_MAX) return 0;
  TMutexLock io(Socket.IoLock);
  int fd = Socket.IoDescriptor();
  if (fd < 0) throw ESocketError::FromStream("Write", ENOTCONN);
  int error = TTcpSocket::SendPieces(fd, pieces, count, RemainingMs());
  if (error == TTcpSocket::kTimedOut) return 0;
  if (error != 0) throw ESocketError::FromStream("Write", error);
  Socket.NoteProgress();
  return static_cast<int32_t>(total);
}

int64_t TWinSocketStream::Seek(int64_t, int) const { return 0; }
