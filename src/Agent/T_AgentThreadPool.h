// TAgentThreadPool: a session's N pool threads and the queue of tasks in
// front of them. The session's worker thread creates it; the session feeds
// it (AddTask, one task per count taken from FreeThreadSemaphore), and a
// pool thread that becomes free asks the session's feed for its next task
// itself, so a busy session hands tasks over without waking another thread.
// The worker waits for the session's tasks
// (WaitForTasks) and destroys it; pool threads call GetTask; ListTasks runs
// on any thread. The pool owns its threads and queued items; it borrows the
// agent's context, closing flag, suspension and interface. Lock order
// (Agent/LockOrder.h): the agent's session lock, the session's queue lock,
// then the pool lock (a leaf).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Agent/T_PoolTaskItem.h"
#include "Agent/T_Semaphore.h"
#include "Platform/T_Event.h"
#include "Platform/T_Mutex.h"

class TAgentContext;
class TClosingFlag;
class TSuspendState;
struct IAgent;
class TPoolThread;

// Runs one task on a pool thread in place of the task call (tests and
// benchmarks), and reports it. An error it raises is reported in its place
// (TASK_FAILED, or the session's peer marked failed when there is no peer
// to send it by), and the item is finished anyway.
using TPoolTaskRunner = std::function<void(TPoolThread&, TPoolTaskItem&)>;

// What a pool thread calls once it has made itself free (its count is in
// FreeThreadSemaphore), before it waits for a task: the session moves what
// it has waiting into the pool then. Called with no lock held.
class IPoolFeed {
 public:
  virtual void FeedPool() = 0;

 protected:
  ~IPoolFeed() = default;
};

class TAgentThreadPool {
 public:
  // Starts the context's PoolSize() threads and pins them to processors when
  // explicitCPU is on. Pool threads hold back while `suspension` says so
  // (unless `agentClosing` is set) and hand `agentInterface` to task code.
  // All are borrowed for the pool's life, as is `feed` (may be null: then
  // only AddTask brings tasks); `runner`, when given, replaces the task call
  // on every thread. When the system
  // refuses a thread, the threads already started are ended and the
  // refusal is raised: the pool cannot be built.
  TAgentThreadPool(const TAgentContext& context, const TClosingFlag& agentClosing, const TSuspendState& suspension,
                   IAgent* agentInterface, TPoolTaskRunner runner = nullptr, IPoolFeed* feed = nullptr);
  // Ends the threads in index order (a running task finishes first), then
  // drops the queued items without any report.
  ~TAgentThreadPool();
  TAgentThreadPool(const TAgentThreadPool&) = delete;
  TAgentThreadPool& operator=(const TAgentThreadPool&) = delete;

  // Queues a task; `input` moves into the item (the caller's slot becomes
  // empty) and must be its only holder, else an assertion failure is raised
  // and nothing changes. The borrowed objects must outlive the item.
  void AddTask(const std::string& sessionKey, void* sessionIdentity, TStreamRef& input,
               const std::string& libraryFiles, const std::string& procedureName, uint32_t taskId,
               ITaskReport* reportTo, TFileCache* fileCache, TAgentPeer* peer) EXCLUDES(PoolLock);

  // Pool threads: the next item, now the caller's CurrentItem (owned there,
  // the pointer borrowed), or null when the caller must end. Holds the
  // caller back while work is suspended.
  TPoolTaskItem* GetTask(TPoolThread& caller) EXCLUDES(PoolLock);

  // True once no item of the session is queued or running; false when
  // `timeoutMs` (negative: no limit) passed first.
  bool WaitForTasks(const void* sessionIdentity, int timeoutMs = -1) EXCLUDES(PoolLock);

  // The session's tasks: queued ids with "#" in queue order, then running
  // ids with "*" in thread order, separated by ", " ("9#, 7*").
  std::string ListTasks(const std::string& sessionKey) EXCLUDES(PoolLock);

  // One count per pool thread ready for a task; the worker takes one before
  // each AddTask.
  TSemaphore& FreeThreadSemaphore() { return FreeThreads; }

  uint32_t Size() const { return PoolSize; }
  const TAgentContext& Context() const { return AgentContext; }
  IAgent* AgentInterface() const { return Interface; }
  TPoolThread& Thread(uint32_t index) const { return *Threads[index]; }

 private:
  friend class TPoolThread;

  // The pool without its threads: the public constructor starts them once
  // this one has made the object whole, so that its destructor undoes a
  // start that fails half-way.
  struct TWithoutThreads {};
  TAgentThreadPool(TWithoutThreads, const TAgentContext& context, const TClosingFlag& agentClosing,
                   const TSuspendState& suspension, IAgent* agentInterface, TPoolTaskRunner runner, IPoolFeed* feed);

  // Pins the threads, highest index to the highest allowed processor.
  void AssignAffinity();
  // The destroy sequence.
  void Shutdown();
  bool HasTaskOf(const void* sessionIdentity) REQUIRES(PoolLock);

  // Constant after construction.
  const TAgentContext& AgentContext;  // borrowed
  const TClosingFlag& AgentClosing;   // borrowed
  const TSuspendState& Suspension;    // borrowed
  IAgent* const Interface;            // borrowed
  const uint32_t PoolSize;
  const TPoolTaskRunner Runner;
  IPoolFeed* const Feed;  // borrowed; may be null

  // Waited on together; each synchronises itself.
  TSemaphore FreeThreads;
  TSemaphore TaskCount;
  TEvent IdleEvent{false, false};  // auto-reset: a thread asked for a task
  TEvent StopEvent{true, false};   // manual-reset: set at destroy, stays set

  // Guards the queue and every thread's CurrentItem. Never held while
  // another lock is taken.
  TMutex PoolLock;
  std::deque<std::unique_ptr<TPoolTaskItem>> Queue GUARDED_BY(PoolLock);

  // Filled by the constructor, emptied by the destructor; index order.
  std::vector<std::unique_ptr<TPoolThread>> Threads;
};
