#include "Agent/T_PoolThread.h"

#include "Agent/T_Agent.h"
#include "Common/kelvracommon.h"

namespace {

constexpr const char* kUnit = "Agent/T_PoolThread";

}  // namespace

TPoolThread::TPoolThread(TAgentThreadPool& pool, uint32_t index) : Owner(pool), ThreadIndex(index) {
  const TPlatform& platform = pool.Agent().Platform();
  Thread = std::make_unique<TThread>("Pool thread", *platform.System, *platform.Debug, [this] { Execute(); });
  // The event publishes SystemThread to this thread.
  Started.Wait(kInfiniteWait);
}

TPoolThread::~TPoolThread() {
  Terminate();
  Thread->Join();
}

void TPoolThread::Terminate() {
  TerminateRequested.store(true, std::memory_order_relaxed);
  Wake.Set();
}

// `pool` is Owner: the pool passes itself.
std::unique_ptr<TPoolTaskItem>& TPoolThread::CurrentItemSlot(const TAgentThreadPool&) NO_THREAD_SAFETY_ANALYSIS {
  return CurrentItem;
}

void TPoolThread::Execute() {
  TAgent& agent = Owner.Agent();
  try {
    SystemThread = agent.Platform().System->CurrentThreadId();
    // Task work yields to every other program on the machine.
    agent.ChangeThreadPriority(SystemThread, tpIdle);
  } catch (...) {
    Started.Set();  // the constructor must not wait for ever
    throw;
  }
  Started.Set();
  while (!Terminated()) {
    // No error ends the thread, and every item taken reaches FinishItem:
    // session teardown waits for that.
    try {
      TPoolTaskItem* item = Owner.GetTask(*this);
      if (item == nullptr) break;
      try {
        RunItem(*item);
      } catch (const std::exception& error) {
        agent.DebugWrite("POOLTHREAD: exception \"%s\" in task %u", error.what(), item->TaskId);
      } catch (...) {
        agent.DebugWrite("POOLTHREAD: exception \"%s\" in task %u", "unknown error", item->TaskId);
      }
      FinishItem();
    } catch (const std::exception& error) {
      agent.DebugWrite("POOLTHREAD: %s", error.what());
    } catch (...) {
      agent.DebugWrite("POOLTHREAD: unknown error");
    }
  }
  agent.DebugWrite("PoolThread terminated...");
}

void TPoolThread::RunItem(TPoolTaskItem& item) {
  if (Owner.Runner) {
    Owner.Runner(*this, item);
    return;
  }
  // The task call (library from the file cache, procedure by name, guarded
  // call, report to the user) belongs here.
}

void TPoolThread::FinishItem() {
  ITaskReport* reportTo = nullptr;
  bool soleHolder = true;
  {
    TMutexLock guard(Owner.PoolLock);
    if (!CurrentItem) return;
    try {
      RequireSingleHolder(CurrentItem->Input.Get(), kUnit, 83);
    } catch (const std::logic_error&) {
      soleHolder = false;
    }
    reportTo = CurrentItem->ReportTo;
    // Freed and cleared even when the check failed: teardown waits for it.
    CurrentItem.reset();
  }
  if (reportTo != nullptr) reportTo->ReportTasks();
  if (!soleHolder) RaiseAssertionFailure(kUnit, 83);
}
