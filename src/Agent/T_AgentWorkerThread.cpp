#include "Agent/T_AgentWorkerThread.h"

#include "Agent/T_AgentContext.h"
#include "Agent/T_SessionServices.h"
#include "Agent/T_AgentDataCache.h"
#include "Agent/T_AgentPeer.h"
#include "Agent/T_AgentThreadPool.h"
#include "Agent/T_FileCache.h"
#include "Agent/T_SessionLedger.h"
#include "Common/kelvracommon.h"
#include "Platform/T_TaskGuard.h"
#include "Platform/TimeLimit.h"

namespace {

constexpr const char* kWorkerUnit = "Agent/T_AgentWorkerThread";
// How often teardown looks for a user that stopped answering.
constexpr int kPeerWatchMs = 250;

}  // namespace

TAgentWorkerThread::TAgentWorkerThread(const TAgentContext& context, const TSessionServices& services,
                                       std::string address)
    : Context(context),
      Services(services),
      UserAddress(std::move(address)),
      TaskListEntry(services.Sessions, UserAddress, *this) {
  Peer = std::make_unique<TAgentPeer>(context, services.Closing, services.Load, UserAddress);
  Thread.Start(*context.Platform().System, *context.Platform().Debug, [this] { Run(); });
}

TAgentWorkerThread::~TAgentWorkerThread() {
  Ending.store(true, std::memory_order_relaxed);
  {
    TMutexLock guard(QueueLock);
    DispatchStopped = true;
  }
  // A connect still waiting for the user gives up; exchanges get a bound.
  Peer->BeginClosing();
  // Teardown waits for the session's tasks: it must not starve behind them.
  if (TSystemThreadId id = WorkerThreadId.load(std::memory_order_acquire); id != 0)
    Context.ChangeThreadPriority(id, tpNormal);
  Thread.RequestStop();
  StopEvent.Set();
  Thread.Join();
  // Tasks that never reached the pool are dropped without a report.
  TMutexLock guard(QueueLock);
  Queue.clear();
}

void TAgentWorkerThread::Run() {
  WorkerThreadId.store(Context.Platform().System->CurrentThreadId(), std::memory_order_release);
  Context.ChangeThreadPriority(WorkerThreadId.load(std::memory_order_relaxed), tpLowest);
  // EndSession exports run on this thread, under the task-fault guard.
  if (TStatus prepared = TTaskGuard::PrepareThread(); !prepared)
    Context.DebugWrite("WORKERTHREAD: %s", prepared.Text());
  // The session's parts are objects that cannot be built when the system
  // refuses them (the pool's threads, memory): their constructors raise,
  // and that refusal is the session's failed start-up.
  try {
    StartUp();
  } catch (const std::exception& error) {
    RunFailed(error.what());
    return;
  }
  // Publishes the objects built to the lobby and pool threads.
  Ready.store(true, std::memory_order_release);
  StartedEvent.Set();

  // The lobby and pool threads dispatch from here on.
  StopEvent.Wait(kInfiniteWait);
  TearDownObjects();
}

void TAgentWorkerThread::StartUp() {
  Peer->Connect();
  if (Services.ConfineBeforeTasks)
    if (TStatus confined = Services.ConfineBeforeTasks(); !confined) throw std::runtime_error(confined.Text());
  FileCache = std::make_unique<TFileCache>(Context, *Peer, SessionIdentity(), Services.AgentInterface);
  DataCache = std::make_unique<TAgentDataCache>(Context, *Peer, Context.Settings().MaxDataCacheBytes());
  auto pool = std::make_unique<TAgentThreadPool>(Context, Services.Closing, Services.Suspension,
                                                 Services.AgentInterface, nullptr, this);
  TMutexLock guard(QueueLock);
  Pool = std::move(pool);
  // Tasks that came during the start-up.
  Dispatch();
}

void TAgentWorkerThread::RunFailed(const std::string& reason) {
  StartupError = "WORKERTHREAD: unable to start the session: " + reason;
  Context.DebugWrite("%s", StartupError);
  // Publishes the error and whatever the start-up built.
  StartFailed.store(true, std::memory_order_release);
  StartedEvent.Set();
  // Tasks queued during the start-up, then whatever AddTask signals; tasks
  // queued just before the end are owed their answer too.
  do FailQueuedTasks();
  while (WaitForFirst(StopEvent, TasksToFail, kInfiniteWait) == wrSecond);
  FailQueuedTasks();
  TearDownObjects();
}

void TAgentWorkerThread::FailQueuedTasks() {
  std::deque<TQueuedTask> failed;
  {
    TMutexLock guard(QueueLock);
    failed.swap(Queue);
  }
  for (const TQueuedTask& task : failed)
    if (Peer == nullptr || !Peer->SendTaskFailed(task.TaskId, StartupError)) MarkPeerFailed();
}

TAgentPeer* TAgentWorkerThread::PublishedPeer() const {
  if (!Ready.load(std::memory_order_acquire) && !StartFailed.load(std::memory_order_acquire)) return nullptr;
  return Peer.get();
}

void TAgentWorkerThread::FeedPool() {
  TMutexLock guard(QueueLock);
  Dispatch();
}

void TAgentWorkerThread::Dispatch() {
  if (Pool == nullptr || DispatchStopped) return;
  // A task leaves the session queue only when a pool thread is free.
  while (!Queue.empty() && Pool->FreeThreadSemaphore().Handle().Wait(0)) {
    TQueuedTask& head = Queue.front();
    if (!IsSoleHolder(head.Input.Get())) {
      Pool->FreeThreadSemaphore().Release(1);  // the count taken goes back
      Context.Platform().Debug->Beep();
      RaiseAssertionFailure(kWorkerUnit, 239);
    }
    Pool->AddTask(UserAddress, SessionIdentity(), head.Input, head.LibraryFiles, head.ProcedureName, head.TaskId,
                  this, FileCache.get(), Peer.get());
    Queue.pop_front();
  }
}

void TAgentWorkerThread::TearDownObjects() {
  Context.DebugWrite("WORKERTHREAD: Waiting for threadpool to terminate...");
  // Running tasks finish; a user that stops answering them is dropped.
  if (Pool)
    while (!Pool->WaitForTasks(SessionIdentity(), kPeerWatchMs)) Peer->CloseIfStalled();
  Context.DebugWrite("WORKERTHREAD: Waiting for threadpool to finish tasks - done");
  std::unique_ptr<TAgentThreadPool> pool;
  {
    // A pool thread still refreshing the task list reads Pool under the lock.
    TMutexLock guard(QueueLock);
    pool = std::move(Pool);
  }
  pool.reset();
  Context.DebugWrite("WORKERTHREAD: Threadpool released.");
  if (FileCache) FileCache->CallEndSession();
  Context.DebugWrite("WORKERTHREAD: Filecache.Endsession() done.");
  FileCache.reset();
  Context.DebugWrite("WORKERTHREAD: Filecache released.");
  DataCache.reset();
  Context.DebugWrite("WORKERTHREAD: Datacache released.");
  Peer.reset();
  Context.DebugWrite("WORKERTHREAD: Peer released.");
  Context.DebugWrite("WORKERTHREAD: Terminated.");
}

void TAgentWorkerThread::AddTask(uint32_t taskId, const std::string& libraryFiles, const std::string& procedureName,
                                 TStreamRef& input) {
  // Past the bound the task is queued all the same: the worker dispatches
  // it once it is ready, or fails it if the start-up fails.
  StartedEvent.Wait(kStartupWaitMs);
  RequireSingleHolder(input.Get(), kWorkerUnit, 145);
  if (TSessionLedger* ledger = TSessionLedger::OfThisProcess()) ledger->Accepted(taskId);
  bool queued = false;
  {
    TMutexLock guard(QueueLock);
    if (Queue.size() < static_cast<size_t>(kMaxQueuedTasks)) {
      Queue.push_back(TQueuedTask{taskId, libraryFiles, procedureName, std::move(input)});
      queued = true;
      Dispatch();
    }
  }
  if (!queued) {
    // The user learns it; nothing is lost silently.
    input.Drop();
    const std::string message = "WORKERTHREAD: session queue full (" + std::to_string(kMaxQueuedTasks) +
                                " tasks waiting), task " + std::to_string(taskId) + " refused";
    Context.DebugWrite("%s", message);
    TAgentPeer* peer = PublishedPeer();
    if (peer == nullptr || !peer->SendTaskFailed(taskId, message)) MarkPeerFailed();
    return;
  }
  // Seen before the push or after it: either way the worker answers it.
  if (StartFailed.load(std::memory_order_acquire)) TasksToFail.Set();
  ReportTasks();
}

std::string TAgentWorkerThread::GetTaskList() {
  TMutexLock guard(QueueLock);
  std::string text = Pool ? Pool->ListTasks(UserAddress) : std::string();
  for (size_t i = 0; i < Queue.size(); ++i) {
    if (i > 0 || !text.empty()) text += ',';
    text += std::to_string(Queue[i].TaskId);
  }
  return text;
}

TStatus TAgentWorkerThread::GetData(const std::string& identifier, IGenericStream*& view) {
  return DataCache->GetData(identifier, view);
}

void TAgentWorkerThread::FreeData(const std::optional<std::string>& identifier) { DataCache->FreeData(identifier); }

std::string TAgentWorkerThread::SessionFolder() const { return FileCache->GetCacheFolder(); }
