// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_BroadcastListener.h"

#include <stdexcept>

TBroadcastListener::TBroadcastListener(const TPlatform& platform, IMainThread& mainThread, uint16_t port,
                                       THandler handler)
    : MainThread(mainThread), Handler(std::move(handler)) {
  if (TStatus bound = Socket.Bind(port); !bound) throw std::runtime_error(bound.Text());
  if (TStatus started = Thread.TryStart(*platform.System, *platform.Debug, [this] { Run(); },
                                        [this] { MainThread.Wake(); });
      !started)
    throw std::runtime_error(started.Text());
}

TBroadcastListener::~TBroadcastListener() {
  Thread.RequestStop();
  Socket.Shutdown();
  MainThread.ServeUntil([this] { return Thread.Finished(); });
  Thread.Join();
}

void TBroadcastListener::Run() {
  char buffer[kMaxDatagram];
  while (!Thread.StopRequested()) {
    std::string sender;
    int length = Socket.Receive(buffer, sizeof buffer, sender);
    if (length < 0) break;
    MainThread.RunSynchronously([&] { Handler(sender, length); });
  }
}
