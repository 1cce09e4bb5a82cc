// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_PoolThread.h"

#include <cassert>

#include "Agent/T_AgentContext.h"
#include "Agent/T_AgentPeer.h"
#include "Agent/T_CrashReports.h"
#include "Agent/T_FileCache.h"
#include "Agent/T_SessionLedger.h"
#include "Agent/T_SessionServices.h"
#include "Common/CommandText.h"
#include "Common/T_GenericStream.h"
#include "Common/T_SlotError.h"
#include "Common/CompressedStream.h"
#include "Common/kelvracommon.h"
#include "Platform/T_TaskGuard.h"

namespace {

constexpr const char* kUnit = "Agent/T_PoolThread";
// The check of a task's input as it leaves the session queue keeps the
// identifier it had when the session's worker made that hand-over.
constexpr const char* kHandOverUnit = "Agent/T_AgentWorkerThread";

// Writes the crash report of a task that faulted and logs its path.
void ReportCrash(const TAgentContext& context, const std::string& userAddress, const TPoolTaskItem& item,
                 const void* procedure, const std::string& text, TTaskGuard::TFaultRecord fault) {
  // Should the fault have left the process unable to go on, the agent names
  // it when it ends the session.
  if (TSessionLedger* ledger = TSessionLedger::OfThisProcess())
    ledger->NoteFault("task " + std::to_string(item.TaskId) + ": " + text);
  TCrashFacts facts;
  facts.UserAddress = userAddress;
  facts.TaskId = item.TaskId;
  facts.Procedure = item.ProcedureName;
  facts.FaultText = text;
  facts.Fault = std::move(fault);
  TCrashReports::WriteAndLog(context, std::move(facts), procedure,
                             "POOLTHREAD: crash report of task " + std::to_string(item.TaskId));
}

// The report of a task that failed with `text`, as the user reads it.
std::string ExceptionMessage(const std::string& text, uint32_t taskId) {
  return "POOLTHREAD: exception \"" + text + "\" in task " + std::to_string(taskId);
}

// Runs `atEnd` as the scope is left, however it is left.
template <typename TAtEnd>
class TAtScopeEnd {
 public:
  explicit TAtScopeEnd(TAtEnd atEnd) : AtEnd(std::move(atEnd)) {}
  ~TAtScopeEnd() { AtEnd(); }
  TAtScopeEnd(const TAtScopeEnd&) = delete;
  TAtScopeEnd& operator=(const TAtScopeEnd&) = delete;

 private:
  TAtEnd AtEnd;
};

}  // namespace

TPoolThread::TPoolThread(TAgentSession& session, uint32_t index) : Owner(session), ThreadIndex(index) {
  const TPlatform& platform = session.Context.Platform();
  // Started is set as the thread ends too: this wait ends whatever happens.
  Thread.Start(*platform.System, *platform.Debug, [this] { Execute(); }, [this] { Started.Set(); });
  // The event publishes SystemThread to this thread.
  Started.Wait(kInfiniteWait);
}

TPoolThread::~TPoolThread() {
  Terminate();
  Thread.Join();
}

void TPoolThread::Terminate() {
  Thread.RequestStop();
  Wake.Set();
}

std::optional<TPoolTaskItem>& TPoolThread::CurrentItemSlot([[maybe_unused]] const TAgentSession& session) {
  // The session passes itself, so the lock the caller holds is Owner's.
  assert(&session == &Owner);
  Owner.QueueLock.AssertHeld();
  return CurrentItem;
}

void TPoolThread::Execute() {
  const TAgentContext& context = Owner.Context;
  SystemThread = context.Platform().System->CurrentThreadId();
  // Task work yields to every other program on the machine.
  context.ChangeThreadPriority(SystemThread, tpIdle);
  Started.Set();
  // The alternate signal stack and the floating-point state of task code;
  // when they cannot be had, each task call tries again and reports it.
  if (TStatus prepared = TTaskGuard::PrepareThread(); !prepared)
    context.DebugWrite("POOLTHREAD: %s", prepared.Text());
  while (!Terminated()) {
    TPoolTaskItem* item = nullptr;
    bool reported = false;
    // Every item taken reaches FinishItem (session teardown waits for
    // that) with exactly one report. Should even the report of an error
    // raise, the peer is marked failed instead: the session ends, and the
    // error ends this thread of it.
    TAtScopeEnd finish([&] {
      if (item == nullptr) return;
      if (!reported) Owner.MarkPeerFailed();
      FinishItem();
    });
    // The thread's barrier: an error raised on the way (no memory, a report
    // that cannot be made, an assertion failure) ends neither the thread nor
    // the item's wait for its report.
    try {
      item = Owner.TakeTask(*this);
      if (item == nullptr) break;
      // The queue was the input's only holder until now.
      if (!IsSoleHolder(item->Input.Get())) {
        context.Platform().Debug->Beep();
        RaiseAssertionFailure(kHandOverUnit, 239);
      }
      RunItem(*item, reported);
    } catch (const std::exception& error) {
      if (item == nullptr) {
        context.DebugWrite("POOLTHREAD: %s", error.what());
        continue;
      }
      context.DebugWrite("POOLTHREAD: exception \"%s\" in task %u", UserText(error.what()), item->TaskId);
      if (!reported) SendFailure(*item, ExceptionMessage(error.what(), item->TaskId), false, reported);
    }
  }
  context.DebugWrite("PoolThread terminated...");
}

void TPoolThread::SendFailure(TPoolTaskItem& item, const std::string& message, bool endsSession, bool& reported) {
  const bool sent = Owner.Peer->SendTaskFailed(item.TaskId, message);
  if (endsSession || !sent) Owner.MarkPeerFailed();
  reported = true;
}

void TPoolThread::RunItem(TPoolTaskItem& item, bool& reported) {
  if (Owner.Runner) {
    Owner.Runner(*this, item);
    reported = true;
    return;
  }
  const TAgentContext& context = Owner.Context;
  const std::string id = std::to_string(item.TaskId);
  // A failure before the task runs fails only the task: the session ends
  // only when the report itself cannot be sent.
  auto refuse = [&](const std::string& message) {
    context.DebugWrite("%s", UserText(message));
    SendFailure(item, message, false, reported);
  };
  // A failure of the task itself (or of its input) ends the session.
  auto fail = [&](const std::string& text) {
    const std::string message = ExceptionMessage(text, item.TaskId);
    context.DebugWrite("%s", UserText(message));
    SendFailure(item, message, true, reported);
  };

  std::string libraryText;
  if (TStatus decoded = DecodeArgument(item.LibraryFiles, libraryText); !decoded) {
    // A malformed escape in the library item: reported with its text.
    refuse(ExceptionMessage(decoded.Text(), item.TaskId));
    return;
  }
  TLibraryRefusal refusal;
  void* module = Owner.FileCache->GetLibrary(libraryText, &refusal);
  if (module == nullptr) {
    // A file the user refused, or a library that did not load, says only
    // that; a transfer that failed or a signature that was refused says why.
    switch (refusal.Kind) {
      case TLibraryRefusal::TKind::None:
        refuse("POOLTHREAD: unable to load dll " + item.LibraryFiles + " for task " + id);
        break;
      case TLibraryRefusal::TKind::Unreceived:
        refuse("POOLTHREAD: unable to receive file " + refusal.Why.Context() + " for task " + id + ": " +
               refusal.Why.Reason());
        break;
      case TLibraryRefusal::TKind::Unsigned:
        refuse(refusal.Why.Text());
        break;
    }
    return;
  }
  auto procedure =
      reinterpret_cast<TTaskGuard::TTaskProcedure>(context.Platform().Libraries->Symbol(module, item.ProcedureName));
  if (procedure == nullptr) {
    refuse("POOLTHREAD:  unable to run task - proc=nil. filename=" + item.LibraryFiles +
           " proname=" + item.ProcedureName + " taskId=" + id);
    return;
  }

  TStreamRef output(TGenericStream::Create());
  context.DebugWrite("POOLTHREAD: running task %u", item.TaskId);
  if (IsCompressedStream(item.Input.Get())) {
    context.DebugWrite("POOLTHREAD: Decompressing data for task %u", item.TaskId);
    // Corrupt compressed input, or inflating beyond the bound.
    if (TStatus inflated = DecompressStream(item.Input.Get(), context.Settings().MaxInflatedBytes()); !inflated) {
      fail(inflated.Text());
      return;
    }
  }
  static_cast<void>(item.Input.SetPos(0));  // position 0 is never refused

  uint32_t result = 0;
  TSlotError::Clear();
  TStatus failure = TTaskGuard::CallTask(procedure, Owner.Services.AgentInterface, Owner.SessionIdentity(),
                                         item.Input.Get(), output.Get(), result);
  std::optional<TTaskGuard::TFaultRecord> fault = failure.Ok() ? std::nullopt : TTaskGuard::LastFault();
  // An error an agent slot remembered fails the task as if it had been
  // raised through it.
  TStatus slotError = TSlotError::Take();
  if (failure.Ok()) failure = std::move(slotError);
  // A library that kept a stream breaks the one-holder rule: the task fails
  // (one report), and the agent lets go of its own reference so that
  // nothing later trips over the extra one.
  const bool inputKept = !IsSoleHolder(item.Input.Get());
  const bool outputKept = !IsSoleHolder(output.Get());
  if (failure.Ok() && (inputKept || outputKept))
    failure = TStatus::Failure("", std::string("the task library kept a reference to its ") +
                                       (inputKept ? "input" : "output") + " stream");
  if (inputKept) item.Input.Drop();
  if (outputKept) output.Drop();
  if (failure.Ok() && (result & 0xFF) == 0) failure = TStatus::Failure("", "TaskProc returned false");

  if (!failure.Ok()) {
    fail(failure.Text());
    if (fault)
      ReportCrash(context, Owner.Address(), item, reinterpret_cast<const void*>(procedure), failure.Text(),
                  std::move(*fault));
  } else {
    context.DebugWrite("POOLTHREAD: task %u done", item.TaskId);
    Owner.Peer->PostTaskDone(item.TaskId, output, Owner);
    reported = true;
  }
  if (output) RequireSingleHolder(output.Get(), kUnit, 206);
}

void TPoolThread::FinishItem() {
  TStatus held;
  {
    TMutexLock guard(Owner.QueueLock);
    if (!CurrentItem) return;
    // A task that kept its input has been failed already and the item let
    // go of its reference then.
    if (CurrentItem->Input) held = CheckSingleHolder(CurrentItem->Input.Get(), kUnit, 83);
    // Freed and cleared even when the check failed: teardown waits for it.
    CurrentItem.reset();
    if (Owner.TeardownWaiting) Owner.QueueChanged.NotifyAll();
  }
  Owner.ReportTasks();
  if (!held) Owner.Context.DebugWrite("POOLTHREAD: %s", held.Text());
}
