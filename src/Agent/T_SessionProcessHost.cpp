// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_SessionProcessHost.h"

#include <sys/wait.h>

#include <chrono>
#include <new>

#include "Agent/I_Session.h"
#include "Agent/T_AgentContext.h"
#include "Agent/T_AgentPeer.h"
#include "Agent/T_SessionEntry.h"
#include "Agent/T_SessionLedger.h"
#include "Agent/T_SessionProcesses.h"
#include "Agent/T_SessionServices.h"
#include "Common/T_Connection.h"
#include "Common/WireFraming.h"
#include "Common/kelvracommon.h"
#include "Platform/T_ChildProcess.h"
#include "Platform/T_ControlChannel.h"
#include "Platform/T_LaunchedProcess.h"
#include "Platform/T_SharedMemory.h"

namespace {

using TClock = std::chrono::steady_clock;

// How long each frame to the user may take when the agent answers for an
// ended session process: as any lobby frame; while the agent stops, as a
// closing session's.
constexpr int kReportTimeoutMs = 20000;

int MillisecondsSince(TClock::time_point then) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - then).count());
}

}  // namespace

TSessionProcessHost::TSessionProcessHost(const TAgentContext& context, const TSessionServices& services,
                                         TSessionProcesses& owner)
    : Context(context), Services(services), Owner(owner) {}

std::string TSessionProcessHost::GetTaskList() {
  TMutexLock guard(AnswerLock);
  return TaskList;
}

void TSessionProcessHost::Serve(TConnection& connection) {
  // Nobody is served any more; the close is all that is owed.
  if (Services.Closing.IsSet()) {
    connection.Close();
    return;
  }
  Address = connection.PeerAddress();
  IFileSystem& files = *Context.Platform().Files;
  const auto identity = reinterpret_cast<void*>(ISession::ReserveIdentity());
  const std::string userFolder = Context.TempFolder() + Address;
  const std::string folder = userFolder + "/" + ISession::FolderName(identity);
  {
    TSessionEntry session(Services.Sessions, *Context.Platform().System, Address);
    TSessionList::TTaskListRegistration entry(Services.Sessions, Address, *this);
    TStatus made;
    {
      TMutexLock guard(Owner.FolderLock);
      made = files.CreateOwnFolders(Context.TempFolder(), Address + "/" + ISession::FolderName(identity));
    }
    if (!made)
      Context.DebugWrite("AGENTLOBBY: Unable to start the session process of %s: %s", Address, made.Text());
    else
      Serve(connection, folder, reinterpret_cast<uintptr_t>(identity), entry);
    connection.Close();
  }
  TMutexLock guard(Owner.FolderLock);
  static_cast<void>(files.RemoveFolderContents(folder));
  static_cast<void>(files.RemoveDirectory(folder));
  static_cast<void>(files.RemoveDirectory(userFolder));
}

void TSessionProcessHost::Serve(TConnection& connection, const std::string& folder, uintptr_t identity,
                                TSessionList::TTaskListRegistration& entry) {
  TSharedMemory ledgerMemory;
  TControlChannel control, childControl;
  TLaunchedProcess process;
  TStatus started = TSharedMemory::Create("kelvra-session", sizeof(TSessionLedger::TRegion), ledgerMemory);
  if (started) started = TControlChannel::Pair(control, childControl);
  // A fresh region is all zero: an empty ledger.
  auto* region = std::launder(reinterpret_cast<TSessionLedger::TRegion*>(ledgerMemory.Address()));
  std::optional<TSessionLedger> ledger;
  if (started) {
    ledger.emplace(*region);
    if (Owner.PublishLoad) Owner.PublishLoad(*ledger);
    started = process.Launch(
        Owner.Program,
        {"kelvra-session", "--session-process", "--config", Owner.ConfigFile, "--session-identity",
         std::to_string(identity), "--agent-pid", std::to_string(TLaunchedProcess::OwnId())},
        ChangedEnvironment({"TMPDIR=" + folder}),
        {{connection.Descriptor(), TSessionProcesses::kLobbyDescriptor},
         {childControl.Get(), TSessionProcesses::kControlDescriptor},
         {Owner.BoardMemory.Descriptor(), TSessionProcesses::kBoardDescriptor},
         {Owner.LockMemory.Descriptor(), TSessionProcesses::kLockDescriptor},
         {ledgerMemory.Descriptor(), TSessionProcesses::kLedgerDescriptor}});
  }
  childControl.Close();
  if (!started) {
    Context.DebugWrite("AGENTLOBBY: Unable to start the session process of %s: %s", Address, started.Text());
    return;
  }
  std::string how = Watch(connection, process, control, *ledger, entry);
  int status = 0;
  if (!process.Ended(status)) status = process.Kill();
  if (how.empty() && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ledger->EndedCleanly()) return;
  if (how.empty()) how = TLaunchedProcess::DescribeEnding(status);
  Context.DebugWrite("AGENTLOBBY: Session process of %s ended: %s", Address, how);
  // Whatever the process held of the lock is released by the kernel; the
  // lock is made whole before another task finds it in that state.
  Owner.LibraryLock->Mend();
  FailUnanswered(*ledger, how);
}

std::string TSessionProcessHost::Watch(TConnection& connection, TLaunchedProcess& process, TControlChannel& control,
                                       TSessionLedger& ledger, TSessionList::TTaskListRegistration& entry) {
  bool asking = false;
  bool controlOpen = true;
  TClock::time_point askedAt{}, answeredAt{};
  for (;;) {
    int status = 0;
    if (process.Ended(status)) return "";
    if (Owner.StoppingNow.load(std::memory_order_relaxed)) return "the agent was stopped";
    if (controlOpen && !asking && MillisecondsSince(answeredAt) >= kAskEveryMs) {
      if (Owner.PublishLoad) Owner.PublishLoad(ledger);
      asking = control.Send("T").Ok();
      askedAt = TClock::now();
    }
    if (asking && MillisecondsSince(askedAt) >= kAnswerLimitMs) {
      const std::string fault = ledger.LastFault();
      return "stopped answering after " + std::to_string(kAnswerLimitMs / 1000) + " s" +
             (fault.empty() ? "" : "; the last fault: " + fault);
    }
    WaitReadable({process.EndDescriptor(), controlOpen ? control.Get() : -1, Owner.StopWake.Get()}, 250);
    std::string message;
    while (controlOpen) {
      const TStatus received = control.Receive(message, 0);
      if (!received) {
        // The process closes its end only as it ends; its end is awaited.
        if (received.Code() != ETIMEDOUT) controlOpen = false;
        break;
      }
      if (message == "D") {
        // The session process has closed the lobby connection: the user sees
        // it closed now, not once the session's tasks have ended.
        connection.Close();
      } else if (!message.empty() && message[0] == 'L') {
        asking = false;
        answeredAt = TClock::now();
        bool changed;
        {
          TMutexLock guard(AnswerLock);
          changed = TaskList.compare(0, std::string::npos, message, 1) != 0;
          if (changed) TaskList.assign(message, 1);
        }
        if (changed) entry.NoteReport();
      }
    }
  }
}

void TSessionProcessHost::FailUnanswered(const TSessionLedger& ledger, const std::string& how) {
  const std::vector<uint32_t> unanswered = ledger.Unanswered();
  if (unanswered.empty()) return;
  const std::string message = "Session process ended: " + how;
  const bool stopping = Services.Closing.IsSet();
  const int timeout = stopping ? TAgentPeer::kClosingWaitMs : kReportTimeoutMs;
  TConnection user;
  TStatus sent = user.Open(*Context.Platform().Names, Address, static_cast<uint16_t>(Context.Settings().DataPort), "",
                           timeout);
  for (uint32_t taskId : unanswered) {
    Context.DebugWrite("AGENTPEER: TASK_FAILED %u for IP=%s - %s", taskId, Address, UserText(message));
    if (sent) sent = SocketWriteString(user, TAgentPeer::TaskFailedText(taskId, message), timeout);
  }
  if (!sent)
    Context.DebugWrite("AGENTLOBBY: Unable to tell %s that its session process ended: %s", Address, sent.Text());
}
