// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_ShutdownSignals.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <stdexcept>

#include "Platform/PosixCalls.h"

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Written by the handler, read by the main thread. The pipe's descriptors
// are set before the handlers are installed and closed after they are gone.
std::atomic<int> ReceivedSignal{0};
std::atomic<int> RequestCount{0};
int WakeRead = -1;
int WakeWrite = -1;

void OnShutdownSignal(int number) {
  int saved = errno;
  int expected = 0;
  ReceivedSignal.compare_exchange_strong(expected, number);
  RequestCount.fetch_add(1);
  char byte = 1;
  (void)!::write(WakeWrite, &byte, 1);  // a full pipe is already awake
  errno = saved;
}

}  // namespace

TShutdownSignals::TShutdownSignals() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
    throw std::runtime_error("Unable to create the shutdown pipe: " + ErrnoText(errno));
  WakeRead = fds[0];
  WakeWrite = fds[1];
  ReceivedSignal.store(0);
  RequestCount.store(0);
  struct sigaction action {};
  action.sa_handler = OnShutdownSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int number : kSignals) {
    if (::sigaction(number, &action, nullptr) != 0)
      throw std::runtime_error("Unable to install a signal handler: " + ErrnoText(errno));
  }
}

TShutdownSignals::~TShutdownSignals() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (int number : kSignals) ::sigaction(number, &action, nullptr);
  ::close(WakeRead);
  ::close(WakeWrite);
  WakeRead = WakeWrite = -1;
}

bool TShutdownSignals::Wait(int timeoutMs) {
  if (ReceivedSignal.load() != 0) return true;
  struct pollfd wake {WakeRead, POLLIN, 0};
  int ready = ::poll(&wake, 1, timeoutMs < 0 ? -1 : timeoutMs);
  if (ready > 0) {
    char drain[64];
    while (::read(WakeRead, drain, sizeof drain) > 0) {
    }
  }
  return ReceivedSignal.load() != 0;
}

bool TShutdownSignals::WaitForRequests(int count, int timeoutMs) {
  if (RequestCount.load() >= count) return true;
  struct pollfd wake {WakeRead, POLLIN, 0};
  if (::poll(&wake, 1, timeoutMs < 0 ? -1 : timeoutMs) > 0) {
    char drain[64];
    while (::read(WakeRead, drain, sizeof drain) > 0) {
    }
  }
  return RequestCount.load() >= count;
}

int TShutdownSignals::Received() const { return ReceivedSignal.load(); }

int TShutdownSignals::WakeDescriptor() const { return WakeRead; }
