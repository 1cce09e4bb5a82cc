// SPDX-License-Identifier: Apache-2.0
// TShutdownSignals: SIGTERM, SIGINT and SIGHUP as a request to shut down.
// The handlers only set a flag and wake a self-pipe; the main thread waits
// for the request and does the work. One instance per process, made by the
// process entry before any other thread starts.
#pragma once

class TShutdownSignals {
 public:
  // Installs the handlers. Throws std::runtime_error when they cannot be set.
  TShutdownSignals();
  // Restores the default actions.
  ~TShutdownSignals();
  TShutdownSignals(const TShutdownSignals&) = delete;
  TShutdownSignals& operator=(const TShutdownSignals&) = delete;

  // Waits at most `timeoutMs` milliseconds (negative: without limit) for a
  // shutdown request. True once one has arrived (and from then on).
  bool Wait(int timeoutMs);

  // Waits at most `timeoutMs` milliseconds for the `count`th request (a
  // second one asks to stop at once). True once that many have arrived.
  bool WaitForRequests(int count, int timeoutMs);

  // Readable once a shutdown request has arrived, for a caller that waits
  // on several descriptors; Wait(0) then answers true.
  int WakeDescriptor() const;

  // The number of the signal that asked for the shutdown, 0 if none yet.
  int Received() const;
};
