// SPDX-License-Identifier: Apache-2.0
// TSessionProcessHost: the agent's side of one session that runs in a
// process of its own. On the lobby connection's own thread it starts the
// session process (the agent's program again, with the connection, a
// control socket and the shared regions handed over), stands for the
// session in the agent's session list, and watches the process until it
// ends:
// - at least every second it asks the process for its task list over the
//   control socket; the answer is the session's entry in the status text
//   (a process that has damaged itself, its heap or its locks, cannot
//   answer: one that gives no answer within kAnswerLimitMs is killed);
// - the end of the process is seen at once (its process descriptor);
// - a process that ended otherwise than by ending its session normally
//   costs only its session: one log line names the user and how it ended,
//   every task it had accepted and not answered is answered with
//   TASK_FAILED "Session process ended: <how>" over a connection of the
//   agent's own to the user's data port, the lobby connection closes, the
//   global lock is mended and the session folder removed.
//
// Threads: Serve runs on the lobby connection's thread; GetTaskList on any
// (the status text), under the session list's lock: it only reads the
// latest answer.
#pragma once

#include <cstdint>
#include <string>

#include "Agent/I_TaskListSource.h"
#include "Agent/T_SessionList.h"
#include "Platform/T_Mutex.h"

class TAgentContext;
class TConnection;
class TControlChannel;
class TLaunchedProcess;
class TSessionLedger;
class TSessionProcesses;
struct TSessionServices;

class TSessionProcessHost : public ITaskListSource {
 public:
  // A session process that leaves the agent's question unanswered this long
  // is killed.
  static constexpr int kAnswerLimitMs = 10000;
  // How often the agent asks.
  static constexpr int kAskEveryMs = 1000;

  // Everything borrowed for the host's life.
  TSessionProcessHost(const TAgentContext& context, const TSessionServices& services, TSessionProcesses& owner);
  TSessionProcessHost(const TSessionProcessHost&) = delete;
  TSessionProcessHost& operator=(const TSessionProcessHost&) = delete;

  // The whole session on `connection`, until its process has ended.
  void Serve(TConnection& connection);

  // ITaskListSource: the session process's latest answer.
  std::string GetTaskList() override EXCLUDES(AnswerLock);

 private:
  // Starts the session process for the session folder `folder` and
  // `identity`, watches it until it has ended, and answers for it when it
  // ended abnormally.
  void Serve(TConnection& connection, const std::string& folder, uintptr_t identity,
             TSessionList::TTaskListRegistration& entry);
  // Until the process has ended ("") or must be ended (the reason).
  std::string Watch(TConnection& connection, TLaunchedProcess& process, TControlChannel& control,
                    TSessionLedger& ledger, TSessionList::TTaskListRegistration& entry) EXCLUDES(AnswerLock);
  // Answers the tasks the ended process left unanswered.
  void FailUnanswered(const TSessionLedger& ledger, const std::string& how);

  const TAgentContext& Context;       // borrowed
  const TSessionServices& Services;   // borrowed
  TSessionProcesses& Owner;           // borrowed
  std::string Address;

  TMutex AnswerLock;  // a leaf
  std::string TaskList GUARDED_BY(AnswerLock);
};
