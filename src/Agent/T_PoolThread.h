// TPoolThread: one thread of a session's pool, named "Pool thread", at idle
// priority. It takes one item at a time from the pool (GetTask), runs it
// (RunItem) and frees it (FinishItem), until GetTask answers none. The pool
// creates, terminates and joins it; Terminate and Terminated work from any
// thread. CurrentItem, owned here, changes only under the pool lock.
// Creation fails (throws) when the system refuses the thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "Agent/T_AgentThreadPool.h"
#include "Agent/T_PoolTaskItem.h"
#include "Platform/I_System.h"
#include "Platform/T_Event.h"
#include "Platform/T_Thread.h"

class TPoolThread {
 public:
  // Starts the thread; returns once it runs at idle priority and its system
  // id is known, or throws the system's refusal to make it. `pool` is
  // borrowed for the thread's life.
  TPoolThread(TAgentThreadPool& pool, uint32_t index);
  // Terminates and joins the thread if the pool has not.
  ~TPoolThread();
  TPoolThread(const TPoolThread&) = delete;
  TPoolThread& operator=(const TPoolThread&) = delete;

  // Asks the thread to end and cuts a suspension pause short. A running
  // task is not interrupted. Any thread.
  void Terminate();
  bool Terminated() const { return Thread.StopRequested(); }
  // Waits until the thread has ended.
  void WaitFor() { Thread.Join(); }

  // Sleeps up to `timeoutMs`, less once Terminate is called. This thread.
  void Pause(int timeoutMs) { Wake.Wait(timeoutMs); }

  uint32_t Index() const { return ThreadIndex; }
  TSystemThreadId SystemId() const { return SystemThread; }
  TAgentThreadPool& Pool() const { return Owner; }

 private:
  friend class TAgentThreadPool;

  void Execute();
  // The task call of one item: library, procedure, and its one report to
  // the user (or the pool's runner instead, which reports itself).
  // `reported` is set once the report has gone out or been handed over; an
  // error raised before that is reported by Execute, which then finishes
  // the item.
  void RunItem(TPoolTaskItem& item, bool& reported);
  // The item's report of failure, `message`: TASK_FAILED, and the session's
  // peer marked failed when `endsSession` or when even that cannot be sent
  // (or the item has no peer). Sets `reported`.
  static void SendFailure(TPoolTaskItem& item, const std::string& message, bool endsSession, bool& reported);
  // Frees CurrentItem, then has the item's session refresh its task list.
  // An input with another holder is logged as this unit's assertion failure.
  void FinishItem() EXCLUDES(Owner.PoolLock);
  // CurrentItem for the pool's own code, which holds the lock of `pool`,
  // this thread's pool (the analysis cannot tell the two names apart; the
  // function asserts that the lock is held).
  std::unique_ptr<TPoolTaskItem>& CurrentItemSlot(const TAgentThreadPool& pool) REQUIRES(pool.PoolLock);

  // Constant after construction (SystemThread is set before the
  // constructor returns).
  TAgentThreadPool& Owner;  // borrowed
  const uint32_t ThreadIndex;
  TSystemThreadId SystemThread = 0;
  TEvent Started{true, false};

  // Set by Terminate along with the thread's stop request.
  TEvent Wake{true, false};

  // The item being run; owned.
  std::unique_ptr<TPoolTaskItem> CurrentItem GUARDED_BY(Owner.PoolLock);

  // Started last by the constructor; destroyed (joined) first.
  TThread Thread{"Pool thread"};
};
