// SPDX-License-Identifier: Apache-2.0
// TControlChannel: one end of a local socket pair that carries whole
// messages (SOCK_SEQPACKET), between the agent and a session process it
// started. A message is read whole or not at all; the end of the other side
// reads as ENOTCONN.
//
// Threads: one thread sends and one receives at a time; Shutdown from any
// thread ends a receive in progress.
#pragma once

#include <string>
#include <string_view>

#include "Platform/PosixCalls.h"
#include "Platform/T_Status.h"

class TControlChannel {
 public:
  // The most a message may carry; a longer one arrives cut to this.
  static constexpr size_t kMaxMessage = 1 << 20;

  TControlChannel() = default;
  // Takes over `descriptor` (one end of a pair, inherited).
  explicit TControlChannel(int descriptor) : Socket(descriptor) {}

  // A new pair of connected ends, both close-on-exec.
  static TStatus Pair(TControlChannel& first, TControlChannel& second);

  TStatus Send(std::string_view message);
  // Waits at most `timeoutMs` (negative: without limit) for one message:
  // ETIMEDOUT when none came, ENOTCONN once the other side has gone.
  TStatus Receive(std::string& message, int timeoutMs);
  // Ends the channel for both sides; a receive in progress returns.
  void Shutdown();
  void Close() { Socket.Close(); }

  int Get() const { return Socket.Get(); }
  bool Valid() const { return Socket.Valid(); }

 private:
  TFileDescriptor Socket;
};
