// TAgentWorkerThread: everything that serves one session (one lobby
// connection). Its thread connects the peer to the user's data port, then
// builds the file cache, the data cache and the session's thread pool, and
// at the end waits for the session's pool tasks and takes everything down
// in the reverse order. In between, queued tasks move to the pool one at a
// time as pool threads become free, on whichever thread sees the chance:
// the lobby thread as it queues a task, a pool thread as it becomes free
// (IPoolFeed). A busy session so runs without waking the worker at all. The worker is also the session task libraries
// name by its identity (ISession) and the owner pool threads report to.
//
// When the start-up fails (the pool's threads cannot be made, say), the
// worker publishes that instead of Ready and answers every task sent to the
// session with TASK_FAILED (through the peer, if it was made) until the
// session ends; the lobby ends it after the command it is serving.
//
// Threads: created, fed (AddTask) and destroyed by the lobby thread; the
// body runs on the worker thread; pool threads call the ISession and
// ITaskReport members and FeedPool. The worker is the source of its session's task list
// in the agent's session list for its whole life: the status text asks it
// from any thread. Lock order (Agent/LockOrder.h): the agent's session lock
// (while the task list is asked), then the queue lock, then the pool's lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "Agent/I_Session.h"
#include "Agent/I_TaskListSource.h"
#include "Agent/I_TaskReport.h"
#include "Agent/T_SessionList.h"
#include "Agent/T_AgentThreadPool.h"
#include "Agent/T_Semaphore.h"
#include "Common/T_StreamRef.h"
#include "Platform/I_System.h"
#include "Platform/T_Event.h"
#include "Platform/T_Mutex.h"
#include "Platform/T_Thread.h"

class TAgentContext;
struct TSessionServices;
class TAgentDataCache;
class TAgentPeer;
class TFileCache;

class TAgentWorkerThread : public ISession, public ITaskReport, public ITaskListSource, public IPoolFeed {
 public:
  // Tasks one session may have waiting in its queue at once.
  static constexpr int kMaxQueuedTasks = 10000;
  // The longest AddTask waits for the start-up: as long as the start-up's
  // connect to the user may take.
  static constexpr int kStartupWaitMs = 20000;

  // Starts the worker for the user at `address` (dotted IPv4). `context`
  // and `services` are borrowed for the worker's life. Throws the system's refusal to make the
  // thread.
  TAgentWorkerThread(const TAgentContext& context, const TSessionServices& services, std::string address);
  // Ends the session: a connect still in progress gives up, running pool
  // tasks finish and are reported while the user takes the reports (one
  // that stops answering is dropped, TAgentPeer::CloseIfStalled), queued
  // ones are dropped without a report. Blocks until the worker has ended.
  ~TAgentWorkerThread() override;
  TAgentWorkerThread(const TAgentWorkerThread&) = delete;
  TAgentWorkerThread& operator=(const TAgentWorkerThread&) = delete;

  // Queues a task, taking over `input` (the caller's holder is emptied).
  // Waits (at most kStartupWaitMs, then queues anyway) until the start-up
  // has ended; after a failed one the worker answers the task with
  // TASK_FAILED. A task beyond kMaxQueuedTasks is refused with TASK_FAILED.
  // Lobby thread.
  void AddTask(uint32_t taskId, const std::string& libraryFiles, const std::string& procedureName,
               TStreamRef& input) EXCLUDES(QueueLock);

  // True once a report to the user has failed; the lobby ends the session.
  bool PeerFailed() const { return PeerFailedFlag.load(std::memory_order_relaxed); }
  // True once the start-up has failed; the lobby ends the session.
  bool StartupFailed() const { return StartFailed.load(std::memory_order_acquire); }

  // ITaskListSource (any thread). "19#, 17*, 18*,20,21": pool-queued ids
  // with "#", running ids with "*", then the ids still in this session's
  // queue.
  std::string GetTaskList() override EXCLUDES(QueueLock);

  const std::string& Address() const { return UserAddress; }

  // ITaskReport (pool threads, and the lobby thread after AddTask). The
  // task list is formed when it is read; only the order of the reports of
  // sessions of one address is noted.
  void ReportTasks() override { TaskListEntry.NoteReport(); }
  void MarkPeerFailed() override { PeerFailedFlag.store(true, std::memory_order_relaxed); }

  // IPoolFeed (pool threads): moves queued tasks to the pool's free threads.
  void FeedPool() override EXCLUDES(QueueLock);

  // ISession (pool threads, through the agent interface). Valid once Ready.
  TStatus GetData(const std::string& identifier, IGenericStream*& view) override;
  void FreeData(const std::optional<std::string>& identifier) override;
  std::string SessionFolder() const override;
  bool SessionEnding() const override { return Ending.load(std::memory_order_relaxed); }

 private:
  struct TQueuedTask {
    uint32_t TaskId;
    std::string LibraryFiles;  // as received, still argument-encoded
    std::string ProcedureName;
    TStreamRef Input;  // the record is the input's only holder
  };

  void Run();
  // Builds the peer, the caches and the pool, in this order.
  void StartUp() EXCLUDES(QueueLock);
  // After a failed start-up: fails every task sent until the session ends.
  void RunFailed(const std::string& reason);
  // Answers every task in the session queue with TASK_FAILED.
  void FailQueuedTasks() EXCLUDES(QueueLock);
  // The peer once the start-up has ended (published with Ready or the
  // failure), else null; null too when it could not be made.
  TAgentPeer* PublishedPeer() const;
  // Moves tasks from the head of the session queue into the pool while a
  // pool thread is free for each; nothing once dispatching has stopped.
  void Dispatch() REQUIRES(QueueLock);
  // Frees whatever the start-up built, in the reverse order.
  void TearDownObjects();

  // Constant after construction.
  const TAgentContext& Context;     // borrowed
  const TSessionServices& Services;  // borrowed
  const std::string UserAddress;

  // Made with the worker, before its thread starts (teardown may cancel its
  // connect); connected by the worker thread during the start-up; freed by
  // the worker thread after the pool has ended.
  std::unique_ptr<TAgentPeer> Peer;
  // Created by the worker thread before Ready or StartFailed is set
  // (release), read by other threads after they have seen either (acquire);
  // freed by the worker thread after the pool has ended. StartupError is
  // published with StartFailed. StartedEvent is set right after either
  // flag, for AddTask to wait on.
  std::unique_ptr<TFileCache> FileCache;
  std::unique_ptr<TAgentDataCache> DataCache;
  std::string StartupError;
  std::atomic<bool> Ready{false};
  std::atomic<bool> StartFailed{false};
  TEvent StartedEvent{true, false};
  // Set and cleared by the worker thread under the queue lock (the task
  // list and the dispatch read it there from other threads); the worker
  // reads it freely.
  std::unique_ptr<TAgentThreadPool> Pool;

  // Written by pool threads or the lobby thread, read anywhere: plain flags.
  std::atomic<bool> PeerFailedFlag{false};
  std::atomic<bool> Ending{false};
  // The worker thread's system id, written by it first thing; 0 until then
  // (raising priority 0 is then a no-op).
  std::atomic<TSystemThreadId> WorkerThreadId{0};

  TMutex QueueLock;
  std::deque<TQueuedTask> Queue GUARDED_BY(QueueLock);
  // Set once at teardown: queued tasks stay where they are, to be dropped.
  bool DispatchStopped GUARDED_BY(QueueLock) = false;

  // Made once everything GetTaskList reads exists; ended after the
  // destructor's body, once the thread has ended: from then on the session
  // list does not ask this worker any more.
  TSessionList::TTaskListRegistration TaskListEntry;

  // Set by AddTask after a failed start-up: the worker answers the queue.
  TEvent TasksToFail{false, false};
  TEvent StopEvent{true, false};  // manual reset; set once, at teardown

  // Started last by the constructor; destroyed (joined) first. Its stop
  // request is set at teardown, with StopEvent.
  TThread Thread{"AgentWorkerThread"};
};
