// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_LineReader.h"

#include <poll.h>
#include <unistd.h>

#include "Platform/PosixCalls.h"

namespace {

constexpr size_t kBlock = 64 * 1024;

}  // namespace

TLineReader::TNext TLineReader::Next(std::string& line, int timeoutMs, int wakeFd) {
  for (;;) {
    const size_t feed = Buffer.find('\n', Start);
    if (feed != std::string::npos) {
      line.assign(Buffer, Start, feed - Start);
      Start = feed + 1;
      return TNext::Line;
    }
    if (Ended) {
      if (Start == Buffer.size()) return TNext::End;
      line.assign(Buffer, Start, std::string::npos);
      Start = Buffer.size();
      return TNext::Line;
    }
    // Only the unfinished line stays before more is read.
    Buffer.erase(0, Start);
    Start = 0;
    pollfd polled[2] = {{Fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const int ready = ::poll(polled, wakeFd >= 0 ? 2 : 1, timeoutMs < 0 ? -1 : timeoutMs);
    if (ready < 0 && errno != EINTR) {
      Failed = TStatus::FromErrno(errno, "");
      Ended = true;
      continue;
    }
    if (ready > 0 && (polled[0].revents & POLLNVAL) != 0) {
      Failed = TStatus::Failure("", "the descriptor is not open", EBADF);
      Ended = true;
      continue;
    }
    // A hang-up with nothing left reads as the end below.
    if (ready <= 0 || (polled[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) return TNext::Waiting;
    const size_t had = Buffer.size();
    Buffer.resize(had + kBlock);
    const ssize_t got = RetryOnInterrupt([&] { return ::read(Fd, Buffer.data() + had, kBlock); });
    Buffer.resize(had + static_cast<size_t>(got > 0 ? got : 0));
    if (got == 0) Ended = true;
    if (got < 0) {
      Failed = TStatus::FromErrno(errno, "");
      Ended = true;
    }
  }
}
