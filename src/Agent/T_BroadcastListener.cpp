#include "Agent/T_BroadcastListener.h"

#include <stdexcept>

TBroadcastListener::TBroadcastListener(const TPlatform& platform, IMainThread& mainThread, uint16_t port,
                                       THandler handler)
    : MainThread(mainThread), Handler(std::move(handler)) {
  std::string error;
  if (!Socket.Bind(port, error)) throw std::runtime_error(error);
  Thread = std::make_unique<TThread>("Broadcast listener", *platform.System, *platform.Debug, [this] { Run(); });
}

TBroadcastListener::~TBroadcastListener() {
  Stopping.store(true, std::memory_order_relaxed);
  Socket.Shutdown();
  MainThread.ServeUntil([this] { return Left.load(); });
  Thread->Join();
}

void TBroadcastListener::Run() {
  char buffer[kMaxDatagram];
  while (!Stopping.load(std::memory_order_relaxed)) {
    std::string sender;
    int length = Socket.Receive(buffer, sizeof buffer, sender);
    if (length < 0) break;
    try {
      MainThread.RunSynchronously([&] { Handler(sender, length); });
    } catch (...) {
      // The handler reports its own failures; the listener goes on.
    }
  }
  Left.store(true);
  MainThread.Wake();
}
