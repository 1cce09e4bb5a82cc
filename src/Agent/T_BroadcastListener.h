// SPDX-License-Identifier: Apache-2.0
// TBroadcastListener: receives coordinators' broadcasts on a UDP port and
// hands each datagram (sender address, length) to a handler on the main
// thread, waiting until the handler has run. Created and destroyed on the
// main thread; destruction keeps serving hand-overs until the listener
// thread has ended (by any way), so it never deadlocks with a pending
// hand-over. The handler reports its own failures: an error it raises ends
// the listener, and the listener thread logs it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "Agent/I_MainThread.h"
#include "Platform/T_Platform.h"
#include "Platform/T_Thread.h"
#include "Platform/T_UdpSocket.h"

class TBroadcastListener {
 public:
  using THandler = std::function<void(const std::string& sender, int length)>;

  // Binds all local addresses on `port` and starts listening. Throws
  // std::runtime_error with the system's reason when the port cannot be
  // had, or the system's refusal to make the thread.
  TBroadcastListener(const TPlatform& platform, IMainThread& mainThread, uint16_t port, THandler handler);
  ~TBroadcastListener();
  TBroadcastListener(const TBroadcastListener&) = delete;
  TBroadcastListener& operator=(const TBroadcastListener&) = delete;

  uint16_t Port() const { return Socket.LocalPort(); }

 private:
  static constexpr int kMaxDatagram = 8192;

  void Run();

  // Constant after construction.
  IMainThread& MainThread;  // borrowed
  const THandler Handler;
  TUdpSocket Socket;  // closed only after the thread has left it

  // Its stop request is set by the destroying thread along with the
  // socket's shutdown; destroyed (joined) first.
  TThread Thread{"Broadcast listener"};
};
