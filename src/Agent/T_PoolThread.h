// SPDX-License-Identifier: Apache-2.0
// TPoolThread: one pool thread of a session, named "Pool thread", at idle
// priority. It takes one task at a time from its session's queue
// (TAgentSession::TakeTask), runs it (RunItem) and frees it (FinishItem),
// until TakeTask answers none. The session creates, terminates and joins
// it; Terminate and Terminated work from any thread. CurrentItem, owned
// here, changes only under the session's queue lock.
// Creation fails (throws) when the system refuses the thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "Agent/T_AgentSession.h"
#include "Agent/T_PoolTaskItem.h"
#include "Platform/I_System.h"
#include "Platform/T_Event.h"
#include "Platform/T_Thread.h"

class TPoolThread {
 public:
  // Starts the thread; returns once it runs at idle priority and its system
  // id is known, or throws the system's refusal to make it. `session` is
  // borrowed for the thread's life.
  TPoolThread(TAgentSession& session, uint32_t index);
  // Terminates and joins the thread if the session has not.
  ~TPoolThread();
  TPoolThread(const TPoolThread&) = delete;
  TPoolThread& operator=(const TPoolThread&) = delete;

  // Asks the thread to end and cuts a suspension pause short. A running
  // task is not interrupted; a thread waiting for a task is woken by its
  // session. Any thread.
  void Terminate();
  bool Terminated() const { return Thread.StopRequested(); }
  // Waits until the thread has ended.
  void WaitFor() { Thread.Join(); }

  // Sleeps up to `timeoutMs`, less once Terminate is called. This thread.
  void Pause(int timeoutMs) { Wake.Wait(timeoutMs); }

  uint32_t Index() const { return ThreadIndex; }
  TSystemThreadId SystemId() const { return SystemThread; }
  TAgentSession& Session() const { return Owner; }

 private:
  friend class TAgentSession;

  void Execute();
  // The task call of one item: library, procedure, and its one report to
  // the user (or the session's runner instead, which reports itself).
  // `reported` is set once the report has gone out or been handed over; an
  // error raised before that is reported by Execute, which then finishes
  // the item.
  void RunItem(TPoolTaskItem& item, bool& reported);
  // The item's report of failure, `message`: TASK_FAILED, and the session's
  // peer marked failed when `endsSession` or when even that cannot be sent.
  // Sets `reported`.
  void SendFailure(TPoolTaskItem& item, const std::string& message, bool endsSession, bool& reported);
  // Frees CurrentItem, then has the session refresh its task list. An input
  // with another holder is logged as this unit's assertion failure.
  void FinishItem() EXCLUDES(Owner.QueueLock);
  // CurrentItem for the session's own code, which holds the queue lock of
  // `session`, this thread's session (the analysis cannot tell the two
  // names apart; the function asserts that the lock is held).
  std::optional<TPoolTaskItem>& CurrentItemSlot(const TAgentSession& session) REQUIRES(session.QueueLock);

  // Constant after construction (SystemThread is set before the
  // constructor returns).
  TAgentSession& Owner;  // borrowed
  const uint32_t ThreadIndex;
  TSystemThreadId SystemThread = 0;
  TEvent Started{true, false};

  // Set by Terminate along with the thread's stop request.
  TEvent Wake{true, false};

  // The item being run; owned.
  std::optional<TPoolTaskItem> CurrentItem GUARDED_BY(Owner.QueueLock);

  // Started last by the constructor; destroyed (joined) first.
  TThread Thread{"Pool thread"};
};
