// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_AgentSession.h"

#include <algorithm>
#include <chrono>

#include "Agent/T_AgentContext.h"
#include "Agent/T_AgentDataCache.h"
#include "Agent/T_AgentPeer.h"
#include "Agent/T_FileCache.h"
#include "Agent/T_PoolThread.h"
#include "Agent/T_SessionLedger.h"
#include "Agent/T_SessionServices.h"
#include "Common/kelvracommon.h"
#include "Platform/T_TaskGuard.h"

namespace {

// Assertion failures name the unit and line of their check as they always
// have: these pairs identify the checks, wherever their code now sits.
constexpr const char* kWorkerUnit = "Agent/T_AgentWorkerThread";
constexpr const char* kPoolUnit = "Agent/T_AgentThreadPool";
// How often teardown looks for a user that stopped answering.
constexpr int kPeerWatchMs = 250;
constexpr int kSuspendPauseMs = 1000;

// The next processor bit below `bit`, from the highest again after bit 0.
uint32_t NextBitDown(uint32_t bit) { return bit > 1 ? bit >> 1 : 0x80000000u; }

}  // namespace

TAgentSession::TAgentSession(const TAgentContext& context, const TSessionServices& services, std::string address,
                             TPoolTaskRunner runner)
    : Context(context),
      Services(services),
      UserAddress(std::move(address)),
      Runner(std::move(runner)),
      PoolThreadCount(static_cast<uint32_t>(context.PoolSize())),
      TaskListEntry(services.Sessions, UserAddress, *this) {
  Peer = std::make_unique<TAgentPeer>(context, services.Closing, services.Load, UserAddress);
  Thread.Start(*context.Platform().System, *context.Platform().Debug, [this] { Run(); });
}

TAgentSession::~TAgentSession() {
  Ending.store(true, std::memory_order_relaxed);
  {
    TMutexLock guard(QueueLock);
    // The tasks free threads were woken for still run; the others stay.
    HandedOver = HandedOverLocked();
    DispatchStopped = true;
  }
  QueueChanged.NotifyAll();
  // A connect still waiting for the user gives up; exchanges get a bound.
  Peer->BeginClosing();
  // Teardown waits for the session's tasks: it must not starve behind them.
  if (TSystemThreadId id = SessionThreadId.load(std::memory_order_acquire); id != 0)
    Context.ChangeThreadPriority(id, tpNormal);
  Thread.RequestStop();
  StopEvent.Set();
  Thread.Join();
}

void TAgentSession::Run() {
  SessionThreadId.store(Context.Platform().System->CurrentThreadId(), std::memory_order_release);
  Context.ChangeThreadPriority(SessionThreadId.load(std::memory_order_relaxed), tpLowest);
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
  // Publishes the objects built to the lobby thread.
  Ready.store(true, std::memory_order_release);
  StartedEvent.Set();

  // The lobby and pool threads move the tasks from here on.
  StopEvent.Wait(kInfiniteWait);
  TearDownObjects();
}

void TAgentSession::StartUp() {
  Peer->Connect();
  if (Services.ConfineBeforeTasks)
    if (TStatus confined = Services.ConfineBeforeTasks(); !confined) throw std::runtime_error(confined.Text());
  FileCache = std::make_unique<TFileCache>(Context, *Peer, SessionIdentity(), Services.AgentInterface);
  DataCache = std::make_unique<TAgentDataCache>(Context, *Peer, Context.Settings().MaxDataCacheBytes());
  StartPool();
}

void TAgentSession::StartPool() {
  Context.DebugWrite("Created pool of %u threads.", PoolThreadCount);
  std::vector<std::unique_ptr<TPoolThread>> threads;
  threads.reserve(PoolThreadCount);
  try {
    for (uint32_t i = 0; i < PoolThreadCount; ++i) threads.push_back(std::make_unique<TPoolThread>(*this, i));
  } catch (...) {
    // No pool without all its threads: the ones started end first.
    std::vector<TPoolThread*> started;
    for (const std::unique_ptr<TPoolThread>& thread : threads) started.push_back(thread.get());
    StopThreads(started);
    throw;
  }
  AssignAffinity(threads);
  {
    TMutexLock guard(QueueLock);
    Threads = std::move(threads);
    // Tasks that came during the start-up are taken now, unless the session
    // is already ending.
    PoolOpen = true;
  }
  QueueChanged.NotifyAll();
}

void TAgentSession::AssignAffinity(const std::vector<std::unique_ptr<TPoolThread>>& threads) {
  if (!Context.Settings().ExplicitCPU || threads.empty()) return;
  const uint32_t mask = Context.Platform().System->ProcessAffinityMask();
  Context.DebugWrite("GetProcessAffinityMask = %u.", mask);
  if (mask == 0) {
    Context.DebugWrite("THREADPOOL: none of processors 0..31 is allowed, threads are not pinned");
    return;
  }
  // The highest thread takes the highest allowed processor, the next thread
  // the next lower one; past the lowest the round starts at the top again.
  uint32_t bit = 0x80000000u;
  for (uint32_t i = static_cast<uint32_t>(threads.size()); i-- > 0;) {
    while ((mask & bit) == 0) bit = NextBitDown(bit);
    if (TStatus pinned = Context.Platform().System->SetThreadAffinityMask(threads[i]->SystemId(), bit); !pinned)
      Context.DebugWrite("THREADPOOL: unable to pin thread %u: %s", i, pinned.Reason());
    Context.DebugWrite("Thread %u affinity = %u.", i, bit);
    bit = NextBitDown(bit);
  }
}

void TAgentSession::StopThreads(const std::vector<TPoolThread*>& threads) {
  for (uint32_t i = 0; i < threads.size(); ++i) {
    TPoolThread& thread = *threads[i];
    Context.DebugWrite("THREADPOOL: terminating thread %u...", i);
    // At idle priority a busy machine could keep the thread from its end.
    Context.ChangeThreadPriority(thread.SystemId(), tpNormal);
    thread.Terminate();
    {
      // Every thread waiting for a task leaves; the lock orders this after
      // a waiting thread's last look at its flags.
      TMutexLock guard(QueueLock);
      PoolStopping = true;
    }
    QueueChanged.NotifyAll();
    thread.WaitFor();
    Context.DebugWrite("THREADPOOL: thread %d terminated", static_cast<int>(i));
  }
}

void TAgentSession::RunFailed(const std::string& reason) {
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

void TAgentSession::FailQueuedTasks() {
  std::deque<TPoolTaskItem> failed;
  {
    TMutexLock guard(QueueLock);
    failed.swap(Queue);
  }
  for (const TPoolTaskItem& task : failed)
    if (Peer == nullptr || !Peer->SendTaskFailed(task.TaskId, StartupError)) MarkPeerFailed();
}

TAgentPeer* TAgentSession::PublishedPeer() const {
  if (!Ready.load(std::memory_order_acquire) && !StartFailed.load(std::memory_order_acquire)) return nullptr;
  return Peer.get();
}

size_t TAgentSession::HandedOverLocked() const {
  if (!PoolOpen) return 0;
  if (DispatchStopped) return std::min(HandedOver, Queue.size());
  return std::min<size_t>(IdleThreads, Queue.size());
}

bool TAgentSession::CanTakeLocked() const {
  return PoolOpen && !Queue.empty() && (!DispatchStopped || HandedOver > 0);
}

bool TAgentSession::HasTasksLocked() const {
  if (HandedOverLocked() > 0) return true;
  for (const std::unique_ptr<TPoolThread>& thread : Threads)
    if (thread->CurrentItemSlot(*this)) return true;
  return false;
}

TPoolTaskItem* TAgentSession::TakeTask(TPoolThread& caller) {
  while (Services.Suspension.SuspendSeconds() != 0 && !Services.Closing.IsSet()) {
    if (caller.Terminated()) return nullptr;
    Context.DebugWrite("Suspended...");
    caller.Pause(kSuspendPauseMs);
  }
  TMutexLock guard(QueueLock);
  ++IdleThreads;
  while (!PoolStopping && !caller.Terminated() && !CanTakeLocked()) QueueChanged.Wait(QueueLock);
  --IdleThreads;
  if (PoolStopping || caller.Terminated()) return nullptr;
  if (DispatchStopped) --HandedOver;
  std::optional<TPoolTaskItem>& slot = caller.CurrentItemSlot(*this);
  slot.emplace(std::move(Queue.front()));
  Queue.pop_front();
  return &*slot;
}

bool TAgentSession::WaitForTasks(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  TMutexLock guard(QueueLock);
  TeardownWaiting = true;
  while (HasTasksLocked()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    QueueChanged.WaitUntil(QueueLock, deadline);
  }
  return true;
}

void TAgentSession::TearDownObjects() {
  Context.DebugWrite("WORKERTHREAD: Waiting for threadpool to terminate...");
  // Running tasks finish; a user that stops answering them is dropped.
  while (!WaitForTasks(kPeerWatchMs)) Peer->CloseIfStalled();
  Context.DebugWrite("WORKERTHREAD: Waiting for threadpool to finish tasks - done");
  std::vector<TPoolThread*> running;
  {
    TMutexLock guard(QueueLock);
    for (const std::unique_ptr<TPoolThread>& thread : Threads) running.push_back(thread.get());
  }
  StopThreads(running);
  std::vector<std::unique_ptr<TPoolThread>> ended;
  std::deque<TPoolTaskItem> dropped;
  {
    // The task list reads the threads under the lock until here.
    TMutexLock guard(QueueLock);
    ended.swap(Threads);
    dropped.swap(Queue);
  }
  ended.clear();
  // Tasks that never reached a pool thread are dropped without a report. An
  // input with another holder is logged; the item's own reference goes anyway.
  for (TPoolTaskItem& item : dropped) {
    if (TStatus held = CheckSingleHolder(item.Input.Get(), kPoolUnit, 358); !held)
      Context.DebugWrite("THREADPOOL: %s", held.Text());
    item.Input.Drop();
  }
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

void TAgentSession::AddTask(uint32_t taskId, const std::string& libraryFiles, const std::string& procedureName,
                            TStreamRef& input) {
  // Past the bound the task is queued all the same: the pool takes it once
  // it is ready, or the session fails it if the start-up fails.
  StartedEvent.Wait(kStartupWaitMs);
  RequireSingleHolder(input.Get(), kWorkerUnit, 145);
  if (TSessionLedger* ledger = TSessionLedger::OfThisProcess()) ledger->Accepted(taskId);
  bool queued = false;
  bool wake = false;
  {
    TMutexLock guard(QueueLock);
    if (Queue.size() < static_cast<size_t>(kMaxQueuedTasks)) {
      Queue.push_back(TPoolTaskItem{taskId, libraryFiles, procedureName, std::move(input)});
      queued = true;
      wake = IdleThreads > 0;
    }
  }
  if (wake) QueueChanged.NotifyOne();
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
  // Seen before the push or after it: either way the session answers it.
  if (StartFailed.load(std::memory_order_acquire)) TasksToFail.Set();
  ReportTasks();
}

std::string TAgentSession::GetTaskList() {
  std::string text;
  auto append = [&text](uint32_t taskId, char mark) {
    if (!text.empty()) text += ", ";
    text += std::to_string(taskId);
    text += mark;
  };
  TMutexLock guard(QueueLock);
  const size_t handedOver = HandedOverLocked();
  for (size_t i = 0; i < handedOver; ++i) append(Queue[i].TaskId, '#');
  for (const std::unique_ptr<TPoolThread>& thread : Threads)
    if (const std::optional<TPoolTaskItem>& current = thread->CurrentItemSlot(*this)) append(current->TaskId, '*');
  for (size_t i = handedOver; i < Queue.size(); ++i) {
    if (!text.empty()) text += ',';
    text += std::to_string(Queue[i].TaskId);
  }
  return text;
}

TSystemThreadId TAgentSession::PoolThreadId(uint32_t index) {
  TMutexLock guard(QueueLock);
  return index < Threads.size() ? Threads[index]->SystemId() : 0;
}

TStatus TAgentSession::GetData(const std::string& identifier, IGenericStream*& view) {
  return DataCache->GetData(identifier, view);
}

void TAgentSession::FreeData(const std::optional<std::string>& identifier) { DataCache->FreeData(identifier); }

std::string TAgentSession::SessionFolder() const { return FileCache->GetCacheFolder(); }
