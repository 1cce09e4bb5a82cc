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
  size_t received = 0;
  int error = TTcpSocket::Receive(fd, buffer, static_cast<size_t>(count), RemainingMs(), received);
  if (error == TTcpSocket::kTimedOut) return 0;
  if (error != 0) throw ESocketError::FromStream("Read", error);
  if (received > 0) Socket.NoteProgress();
  return static_cast<int32_t>(received);
}

int32_t TWinSocketStream::Write(const void* buffer, int32_t count) { return WriteGather(buffer, count, nullptr, 0); }

int32_t TWinSocketStream::WriteGather(const void* first, int32_t firstCount, const void* second, int32_t secondCount) {
  if (firstCount < 0) firstCount = 0;
  if (secondCount < 0) secondCount = 0;
  int64_t total = int64_t{firstCount} + secondCount;
  if (total == 0 || total > INT32_MAX) return 0;
  TMutexLock io(Socket.IoLock);
  int fd = Socket.IoDescriptor();
  if (fd < 0) throw ESocketError::FromStream("Write", ENOTCONN);
  int error = TTcpSocket::Send(fd, first, static_cast<size_t>(firstCount), second, static_cast<size_t>(secondCount),
                               RemainingMs());
  if (error == TTcpSocket::kTimedOut) return 0;
  if (error != 0) throw ESocketError::FromStream("Write", error);
  Socket.NoteProgress();
  return static_cast<int32_t>(total);
}

int64_t TWinSocketStream::Seek(int64_t, int) const { return 0; }
