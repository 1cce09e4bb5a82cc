// SPDX-License-Identifier: Apache-2.0
// TAgentSession: everything that serves one session (one lobby connection):
// its task queue, its pool threads, its peer and its caches. Its own thread
// ("AgentWorkerThread") connects the peer to the user's data port, then
// builds the file cache, the data cache and the pool threads, and at the end
// waits for the running tasks and takes everything down in the reverse
// order. In between the lobby thread queues tasks and wakes a free pool
// thread; a pool thread that becomes free takes the session's next task
// itself. One lock and one condition serve the queue. The session is also
// what task libraries name by its identity (ISession) and what its pool
// threads report to.
//
// When the start-up fails (the pool's threads cannot be made, say), the
// session publishes that instead of Ready and answers every task sent to it
// with TASK_FAILED (through the peer, if it was made) until it ends; the
// lobby ends it after the command it is serving.
//
// Threads: created, fed (AddTask) and destroyed by the lobby thread; the
// start-up and teardown run on the session's own thread; pool threads take
// and finish tasks and call the ISession and ITaskReport members. The
// session is the source of its task list in the agent's session list for
// its whole life: the status text asks it from any thread. Lock order
// (Agent/LockOrder.h): the agent's session lock (while the task list is
// asked), then the queue lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Agent/I_Session.h"
#include "Agent/I_TaskListSource.h"
#include "Agent/I_TaskReport.h"
#include "Agent/T_PoolTaskItem.h"
#include "Agent/T_SessionList.h"
#include "Common/T_StreamRef.h"
#include "Platform/I_System.h"
#include "Platform/T_Condition.h"
#include "Platform/T_Event.h"
#include "Platform/T_Mutex.h"
#include "Platform/T_Thread.h"

class TAgentContext;
struct TSessionServices;
class TAgentDataCache;
class TAgentPeer;
class TFileCache;
class TPoolThread;

// Runs one task on a pool thread in place of the task call (tests and
// benchmarks), and reports it. An error it raises is reported in its place
// (TASK_FAILED, or the session's peer marked failed when even that cannot
// be sent), and the task is finished anyway.
using TPoolTaskRunner = std::function<void(TPoolThread&, TPoolTaskItem&)>;

class TAgentSession : public ISession, public ITaskReport, public ITaskListSource {
 public:
  // Tasks one session may have waiting in its queue at once.
  static constexpr int kMaxQueuedTasks = 10000;
  // The longest AddTask waits for the start-up: as long as the start-up's
  // connect to the user may take.
  static constexpr int kStartupWaitMs = 20000;

  // Starts the session for the user at `address` (dotted IPv4). `context`
  // and `services` are borrowed for the session's life; `runner`, when
  // given, replaces the task call on every pool thread. Throws the system's
  // refusal to make the session's thread.
  TAgentSession(const TAgentContext& context, const TSessionServices& services, std::string address,
                TPoolTaskRunner runner = nullptr);
  // Ends the session: a connect still in progress gives up, running tasks
  // (and those a free pool thread was already woken for) finish and are
  // reported while the user takes the reports (one that stops answering is
  // dropped, TAgentPeer::CloseIfStalled), waiting ones are dropped without a
  // report. Blocks until the session's threads have ended.
  ~TAgentSession() override;
  TAgentSession(const TAgentSession&) = delete;
  TAgentSession& operator=(const TAgentSession&) = delete;

  // Queues a task, taking over `input` (the caller's holder is emptied).
  // Waits (at most kStartupWaitMs, then queues anyway) until the start-up
  // has ended; after a failed one the session answers the task with
  // TASK_FAILED. A task beyond kMaxQueuedTasks is refused with TASK_FAILED.
  // Lobby thread.
  void AddTask(uint32_t taskId, const std::string& libraryFiles, const std::string& procedureName,
               TStreamRef& input) EXCLUDES(QueueLock);

  // True once a report to the user has failed; the lobby ends the session.
  bool PeerFailed() const { return PeerFailedFlag.load(std::memory_order_relaxed); }
  // True once the start-up has failed; the lobby ends the session.
  bool StartupFailed() const { return StartFailed.load(std::memory_order_acquire); }

  // ITaskListSource (any thread). "19#, 17*, 18*,20,21": waiting ids that a
  // free pool thread has been woken for with "#", running ids with "*" in
  // thread order, then the other waiting ids.
  std::string GetTaskList() override EXCLUDES(QueueLock);

  const std::string& Address() const { return UserAddress; }
  // The number of pool threads the session runs (the context's PoolSize).
  uint32_t PoolSize() const { return PoolThreadCount; }
  // The system id of pool thread `index`; 0 before the pool is whole or
  // after it has ended. Any thread.
  TSystemThreadId PoolThreadId(uint32_t index) EXCLUDES(QueueLock);

  // ITaskReport (pool threads, and the lobby thread after AddTask). The
  // task list is formed when it is read; only the order of the reports of
  // sessions of one address is noted.
  void ReportTasks() override { TaskListEntry.NoteReport(); }
  void MarkPeerFailed() override { PeerFailedFlag.store(true, std::memory_order_relaxed); }

  // ISession (pool threads, through the agent interface). Valid once Ready.
  TStatus GetData(const std::string& identifier, IGenericStream*& view) override;
  void FreeData(const std::optional<std::string>& identifier) override;
  std::string SessionFolder() const override;
  bool SessionEnding() const override { return Ending.load(std::memory_order_relaxed); }

 private:
  friend class TPoolThread;

  void Run();
  // Builds the peer, the caches and the pool threads, in this order.
  void StartUp() EXCLUDES(QueueLock);
  // Starts the pool threads, pins them, and opens the queue to them. When
  // the system refuses a thread, the threads already started are ended and
  // the refusal is raised.
  void StartPool() EXCLUDES(QueueLock);
  // Pins `threads`, highest index to the highest allowed processor.
  void AssignAffinity(const std::vector<std::unique_ptr<TPoolThread>>& threads);
  // Ends `threads` in index order (a running task finishes first).
  void StopThreads(const std::vector<TPoolThread*>& threads) EXCLUDES(QueueLock);
  // After a failed start-up: fails every task sent until the session ends.
  void RunFailed(const std::string& reason);
  // Answers every task in the queue with TASK_FAILED.
  void FailQueuedTasks() EXCLUDES(QueueLock);
  // The peer once the start-up has ended (published with Ready or the
  // failure), else null; null too when it could not be made.
  TAgentPeer* PublishedPeer() const;
  // True once no task is running and none a pool thread was woken for
  // waits; false when `timeoutMs` passed first.
  bool WaitForTasks(int timeoutMs) EXCLUDES(QueueLock);
  // Frees whatever the start-up built, in the reverse order.
  void TearDownObjects();

  // Pool threads: waits until the caller may take the next task and moves
  // it into the caller's CurrentItem (owned there, the pointer borrowed);
  // null when the caller must end. Holds the caller back while work is
  // suspended.
  TPoolTaskItem* TakeTask(TPoolThread& caller) EXCLUDES(QueueLock);
  // Waiting tasks that a pool thread may take now (the first ones of the
  // queue): those a free thread has been woken for.
  size_t HandedOverLocked() const REQUIRES(QueueLock);
  bool CanTakeLocked() const REQUIRES(QueueLock);
  bool HasTasksLocked() const REQUIRES(QueueLock);

  // Constant after construction.
  const TAgentContext& Context;      // borrowed
  const TSessionServices& Services;  // borrowed
  const std::string UserAddress;
  const TPoolTaskRunner Runner;
  const uint32_t PoolThreadCount;

  // Made with the session, before its thread starts (teardown may cancel
  // its connect); connected by the session thread during the start-up;
  // freed by the session thread after the pool threads have ended.
  std::unique_ptr<TAgentPeer> Peer;
  // Created by the session thread before the pool threads start and before
  // Ready or StartFailed is set (release); read by other threads after they
  // have seen either (acquire), by pool threads freely; freed by the
  // session thread after the pool threads have ended. StartupError is
  // published with StartFailed. StartedEvent is set right after either
  // flag, for AddTask to wait on.
  std::unique_ptr<TFileCache> FileCache;
  std::unique_ptr<TAgentDataCache> DataCache;
  std::string StartupError;
  std::atomic<bool> Ready{false};
  std::atomic<bool> StartFailed{false};
  TEvent StartedEvent{true, false};

  // Written by pool threads or the lobby thread, read anywhere: plain flags.
  std::atomic<bool> PeerFailedFlag{false};
  std::atomic<bool> Ending{false};
  // The session thread's system id, written by it first thing; 0 until then
  // (raising priority 0 is then a no-op).
  std::atomic<TSystemThreadId> SessionThreadId{0};

  // Guards the queue, the pool's state and every pool thread's CurrentItem.
  // QueueChanged wakes pool threads (a task queued, the pool opened or
  // stopping) and, during teardown, the wait for the running tasks.
  TMutex QueueLock;
  TCondition QueueChanged;
  std::deque<TPoolTaskItem> Queue GUARDED_BY(QueueLock);
  // Published, in index order, once every thread has started; emptied
  // after they have ended.
  std::vector<std::unique_ptr<TPoolThread>> Threads GUARDED_BY(QueueLock);
  // Pool threads waiting for a task (past the suspension).
  uint32_t IdleThreads GUARDED_BY(QueueLock) = 0;
  // Set once the pool is whole: threads take tasks from then on.
  bool PoolOpen GUARDED_BY(QueueLock) = false;
  // Set once at teardown: waiting tasks stay where they are, to be dropped,
  // but for HandedOver, those a free thread had been woken for then.
  bool DispatchStopped GUARDED_BY(QueueLock) = false;
  size_t HandedOver GUARDED_BY(QueueLock) = 0;
  // Set as the pool threads are ended: every waiting thread leaves.
  bool PoolStopping GUARDED_BY(QueueLock) = false;
  // Set while teardown waits for the running tasks: a finished task wakes it.
  bool TeardownWaiting GUARDED_BY(QueueLock) = false;

  // Made once everything GetTaskList reads exists; ended after the
  // destructor's body, once the thread has ended: from then on the session
  // list does not ask this session any more.
  TSessionList::TTaskListRegistration TaskListEntry;

  // Set by AddTask after a failed start-up: the session answers the queue.
  TEvent TasksToFail{false, false};
  TEvent StopEvent{true, false};  // manual reset; set once, at teardown

  // Started last by the constructor; destroyed (joined) first. Its stop
  // request is set at teardown, with StopEvent.
  TThread Thread{"AgentWorkerThread"};
};
