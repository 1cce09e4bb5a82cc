#include "Agent/T_AgentThreadPool.h"

#include <algorithm>
#include <chrono>

#include "Agent/T_AgentContext.h"
#include "Agent/T_ClosingFlag.h"
#include "Agent/T_SuspendState.h"
#include "Agent/T_PoolThread.h"
#include "Common/kelvracommon.h"

namespace {

constexpr const char* kUnit = "Agent/T_AgentThreadPool";
constexpr int kMaximumQueuedTasks = 100000;
constexpr int kSuspendPauseMs = 1000;
constexpr int kIdleWaitMs = 1000;

// The next processor bit below `bit`, from the highest again after bit 0.
uint32_t NextBitDown(uint32_t bit) { return bit > 1 ? bit >> 1 : 0x80000000u; }

}  // namespace

TAgentThreadPool::TAgentThreadPool(const TAgentContext& context, const TClosingFlag& agentClosing,
                                   const TSuspendState& suspension, IAgent* agentInterface, TPoolTaskRunner runner,
                                   IPoolFeed* feed)
    : TAgentThreadPool(TWithoutThreads{}, context, agentClosing, suspension, agentInterface, std::move(runner), feed) {
  // The pool is whole from here on: when the system refuses a thread, the
  // destructor ends the threads already started.
  Threads.reserve(PoolSize);
  for (uint32_t i = 0; i < PoolSize; ++i) Threads.push_back(std::make_unique<TPoolThread>(*this, i));
  AssignAffinity();
}

TAgentThreadPool::TAgentThreadPool(TWithoutThreads, const TAgentContext& context, const TClosingFlag& agentClosing,
                                   const TSuspendState& suspension, IAgent* agentInterface, TPoolTaskRunner runner,
                                   IPoolFeed* feed)
    : AgentContext(context),
      AgentClosing(agentClosing),
      Suspension(suspension),
      Interface(agentInterface),
      PoolSize(static_cast<uint32_t>(context.PoolSize())),
      Runner(std::move(runner)),
      Feed(feed),
      FreeThreads(static_cast<int>(PoolSize), static_cast<int>(PoolSize)),
      TaskCount(0, kMaximumQueuedTasks) {
  AgentContext.DebugWrite("Created pool of %u threads.", PoolSize);
}

TAgentThreadPool::~TAgentThreadPool() { Shutdown(); }

void TAgentThreadPool::Shutdown() {
  for (uint32_t i = 0; i < Threads.size(); ++i) {
    TPoolThread& thread = *Threads[i];
    AgentContext.DebugWrite("THREADPOOL: terminating thread %u...", i);
    // At idle priority a busy machine could keep the thread from its end.
    AgentContext.ChangeThreadPriority(thread.SystemId(), tpNormal);
    thread.Terminate();
    StopEvent.Set();
    thread.WaitFor();
    AgentContext.DebugWrite("THREADPOOL: thread %d terminated", static_cast<int>(i));
  }
  std::deque<std::unique_ptr<TPoolTaskItem>> dropped;
  {
    TMutexLock guard(PoolLock);
    dropped.swap(Queue);
  }
  // Dropped silently: the user gets no report for tasks that never ran. An
  // input with another holder is logged; the item's own reference goes anyway.
  for (std::unique_ptr<TPoolTaskItem>& item : dropped) {
    if (TStatus held = CheckSingleHolder(item->Input.Get(), kUnit, 358); !held)
      AgentContext.DebugWrite("THREADPOOL: %s", held.Text());
    item.reset();
  }
  Threads.clear();
}

void TAgentThreadPool::AssignAffinity() {
  if (!AgentContext.Settings().ExplicitCPU || PoolSize == 0) return;
  const uint32_t mask = AgentContext.Platform().System->ProcessAffinityMask();
  AgentContext.DebugWrite("GetProcessAffinityMask = %u.", mask);
  if (mask == 0) {
    AgentContext.DebugWrite("THREADPOOL: none of processors 0..31 is allowed, threads are not pinned");
    return;
  }
  // The highest thread takes the highest allowed processor, the next thread
  // the next lower one; past the lowest the round starts at the top again.
  uint32_t bit = 0x80000000u;
  for (uint32_t i = PoolSize; i-- > 0;) {
    while ((mask & bit) == 0) bit = NextBitDown(bit);
    if (TStatus pinned = AgentContext.Platform().System->SetThreadAffinityMask(Threads[i]->SystemId(), bit); !pinned)
      AgentContext.DebugWrite("THREADPOOL: unable to pin thread %u: %s", i, pinned.Reason());
    AgentContext.DebugWrite("Thread %u affinity = %u.", i, bit);
    bit = NextBitDown(bit);
  }
}

void TAgentThreadPool::AddTask(const std::string& sessionKey, void* sessionIdentity, TStreamRef& input,
                               const std::string& libraryFiles, const std::string& procedureName, uint32_t taskId,
                               ITaskReport* reportTo, TFileCache* fileCache, TAgentPeer* peer) {
  // Checked before the stream moves: on failure the caller still holds it.
  RequireSingleHolder(input.Get(), kUnit, 242);
  auto item = std::make_unique<TPoolTaskItem>();
  item->SessionKey = sessionKey;
  item->SessionIdentity = sessionIdentity;
  item->TaskId = taskId;
  item->LibraryFiles = libraryFiles;
  item->ProcedureName = procedureName;
  item->FileCache = fileCache;
  item->Peer = peer;
  item->ReportTo = reportTo;
  item->Input = std::move(input);
  {
    TMutexLock guard(PoolLock);
    Queue.push_back(std::move(item));
  }
  TaskCount.Release(1);
}

TPoolTaskItem* TAgentThreadPool::GetTask(TPoolThread& caller) {
  while (Suspension.SuspendSeconds() != 0 && !AgentClosing.IsSet()) {
    if (caller.Terminated()) return nullptr;
    AgentContext.DebugWrite("Suspended...");
    caller.Pause(kSuspendPauseMs);
  }
  // At the maximum the count stays N: this thread's count is still there.
  FreeThreads.Release(1);
  IdleEvent.Set();
  if (Feed != nullptr) Feed->FeedPool();
  if (WaitForFirst(StopEvent, TaskCount.Handle(), kInfiniteWait) != wrSecond) return nullptr;
  TMutexLock guard(PoolLock);
  if (Queue.empty()) {
    AgentContext.DebugWrite("tasksList.Count=0!!!1");
    RaiseAssertionFailure(kUnit, 205);
  }
  std::unique_ptr<TPoolTaskItem>& slot = caller.CurrentItemSlot(*this);
  slot = std::move(Queue.front());
  Queue.pop_front();
  return slot.get();
}

bool TAgentThreadPool::HasTaskOf(const void* sessionIdentity) {
  for (const std::unique_ptr<TPoolTaskItem>& item : Queue)
    if (item->SessionIdentity == sessionIdentity) return true;
  for (const std::unique_ptr<TPoolThread>& thread : Threads) {
    const std::unique_ptr<TPoolTaskItem>& current = thread->CurrentItemSlot(*this);
    if (current && current->SessionIdentity == sessionIdentity) return true;
  }
  return false;
}

bool TAgentThreadPool::WaitForTasks(const void* sessionIdentity, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    {
      TMutexLock guard(PoolLock);
      if (!HasTaskOf(sessionIdentity)) return true;
    }
    int waitMs = kIdleWaitMs;
    if (timeoutMs >= 0) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) return false;
      waitMs = static_cast<int>(std::min<int64_t>(left, waitMs));
    }
    IdleEvent.Wait(waitMs);
  }
}

std::string TAgentThreadPool::ListTasks(const std::string& sessionKey) {
  std::string text;
  auto append = [&text](uint32_t taskId, char mark) {
    if (!text.empty()) text += ", ";
    text += std::to_string(taskId);
    text += mark;
  };
  TMutexLock guard(PoolLock);
  for (const std::unique_ptr<TPoolTaskItem>& item : Queue)
    if (item->SessionKey == sessionKey) append(item->TaskId, '#');
  for (const std::unique_ptr<TPoolThread>& thread : Threads) {
    const std::unique_ptr<TPoolTaskItem>& current = thread->CurrentItemSlot(*this);
    if (current && current->SessionKey == sessionKey) append(current->TaskId, '*');
  }
  return text;
}
