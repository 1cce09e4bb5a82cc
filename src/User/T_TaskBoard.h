// SPDX-License-Identifier: Apache-2.0
// TTaskBoard: the grid's tasks from Submit to their one result, and the
// state of each agent's session. Tasks wait in one queue for any agent; a
// session takes what its window allows (TasksPerPoolThread x pool size,
// plus about 20 ms of the agent's recent answer rate, unanswered), and a
// session that ends gives its unanswered tasks back to the front of the
// queue. The first report of a task's outcome (its output or its own
// failure) is its result; a task that has been answered is forgotten, so a
// later report of it is dropped. Results are
// handed to their handlers one at a time, never under the board's lock (a
// handler may Submit).
//
// Each send of a task has an id of its own (the first is given at Add), so
// that a report names the session it came from: a late report of a session
// that has ended is told from one of the session the task was sent to
// since. What the board decides on its own:
// - attempts: a session that ends abnormally (or whose process the agent
//   reports ended, "Session process ended: ...") charges an attempt to the
//   tasks that could have been running on it: its oldest unanswered sends,
//   in send order, as many as the agent's pool size; the ones queued behind
//   them go again uncharged. A session that ends after a task's own failure
//   (the agent ends a session so) charges nobody. A task charged so is not
//   sent beside another charged one on the same session, so that one
//   poison task costs a good one at most one attempt. At maxAttempts the
//   task fails with "given up after N attempts: <the last reason>";
// - failures of the agent, not the task (the library did not load, the
//   procedure is not in it) send the task to another agent, charged an
//   attempt; an agent that fails kLeaveOutAfter tasks in a row so is left
//   out of the run, and a task no other agent can take fails;
// - speculation (speculateAfterSeconds > 0): a session with room and
//   nothing in the queue it may take is sent a copy of the oldest task
//   unanswered that long on another agent; each task is copied at most
//   once. A send whose task was answered elsewhere keeps its place in its
//   agent's window until the agent reports it or the session ends.
//
// Threads: callers Add, WaitAll and ask Progress; each agent's session
// thread waits here for work and reports its session's state; the data
// connections' threads Report. Lock order: CallbackLock (held while a
// handler runs) before Lock; Lock is a leaf otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Platform/T_Condition.h"
#include "Platform/T_Mutex.h"
#include "kelvra/kelvra_client.h"

class TTaskBoard {
 public:
  using TClock = std::chrono::steady_clock;
  // A task's result handler, which may keep what it is handed (move from it).
  using THandler = std::shared_ptr<const std::function<void(kelvra::TTaskResult&&)>>;
  // One that only reads it.
  using TReader = std::shared_ptr<const std::function<void(const kelvra::TTaskResult&)>>;

  // An agent that fails this many tasks in a row for want of their library
  // or procedure is left out of the run.
  static constexpr int kLeaveOutAfter = 3;

  // What goes on an agent's lobby for one send of a task. The message of
  // a task's first send holds its input; a later send's points into it.
  struct TTaskMessage {
    std::string Command;     // "RUN_TASK <id> <library files> <procedure>"
    std::string_view Input;  // the task's input
    std::string OwnInput;    // the first send's: what Input shows
    std::shared_ptr<const TTaskMessage> First;  // a later send's: the first, which holds the input
  };
  using TMessage = std::shared_ptr<const TTaskMessage>;

  // What a session is to do next: send these tasks, then KEEP_ALIVE if due.
  struct TWork {
    std::vector<TMessage> Tasks;
    bool KeepAlive = false;
  };

  // `agentNames`: "HOST:PORT" of each agent, in order; an agent is named by
  // its index from here on. `maxAttempts` and `speculateAfterSeconds` as
  // kelvra::TGridOptions says.
  TTaskBoard(std::vector<std::string> agentNames, int tasksPerPoolThread, int maxAttempts = 3,
             double speculateAfterSeconds = 0);
  TTaskBoard(const TTaskBoard&) = delete;
  TTaskBoard& operator=(const TTaskBoard&) = delete;

  // --- callers
  // The handler of tasks added without one of their own.
  void SetDefaultHandler(THandler handler) EXCLUDES(Lock);
  void SetDefaultHandler(TReader reader) EXCLUDES(Lock);
  // Queues a task: `makeCommand` turns its id into the RUN_TASK text, which
  // begins "RUN_TASK <id> " (a send after the first puts a new id there).
  // Answers its index. Throws kelvra::EGridError once no agent is left.
  uint64_t Add(const std::function<std::string(uint32_t id)>& makeCommand, std::string input, THandler own)
      EXCLUDES(Lock);
  bool WaitAll(int timeoutMs) EXCLUDES(Lock);
  // Waits until fewer than `most` (at least 1) tasks are added and not yet
  // handed over. False when `timeoutMs` passed first, no agent is left or
  // the board stops.
  bool WaitForRoom(uint64_t most, int timeoutMs) EXCLUDES(Lock);
  kelvra::TGridProgress Progress() const EXCLUDES(Lock);
  std::vector<kelvra::TAgentSummary> AgentSummaries() const EXCLUDES(Lock);
  std::vector<std::string> Warnings() const EXCLUDES(Lock);
  void AddWarning(std::string warning) EXCLUDES(Lock);
  // Waits until every agent's first session is open or the agent is lost.
  void WaitStarted() EXCLUDES(Lock);
  // True when no agent has a session or is opening one (lost or left out);
  // `why` then holds each agent's last reason.
  bool NoAgentLeft(std::string& why) const EXCLUDES(Lock);
  // Ends every wait here for good (the grid is being destroyed).
  void Stop() EXCLUDES(Lock);
  bool Stopping() const EXCLUDES(Lock);

  // --- an agent's session thread
  void SessionUp(size_t agent, int poolSize) EXCLUDES(Lock);
  // Waits until the session has work: tasks its window has room for, a
  // KEEP_ALIVE due at `keepAliveAt` (or asked for sooner, see
  // ProbeSessions). The tasks handed out count as sent on this session;
  // beyond the first, their inputs come to at most kMostBatchBytes. False
  // once stopping, or once the agent is left out of the run (the session
  // thread then ends the session and leaves).
  bool WaitForWork(size_t agent, TClock::time_point keepAliveAt, TWork& work) EXCLUDES(Lock);
  // The session ended for `reason`: its unanswered tasks go back to the
  // front of the queue, those that could have been running charged an
  // attempt. Answers whether any of its tasks was answered while it was
  // open (a session that achieved nothing counts against the agent).
  bool SessionEnded(size_t agent, const std::string& reason) EXCLUDES(Lock, CallbackLock);
  // The agent is given up for `reason` (also a warning). When it was the
  // last, every unanswered task fails with "no agent left: ...".
  void AgentLost(size_t agent, const std::string& reason) EXCLUDES(Lock, CallbackLock);
  // Whether the agent was left out of the run (its session thread ends).
  bool LeftOut(size_t agent) const EXCLUDES(Lock);
  // Waits `ms` unless stopping first; false when stopping.
  bool Pause(int ms) EXCLUDES(Lock);

  // --- the data connections
  // A report for the send `id`: its output (ok) or its failure text.
  // Reports of sends that are not waiting for one are dropped.
  void Report(uint32_t id, bool ok, std::string text) EXCLUDES(Lock, CallbackLock);
  // A data connection ended, or a task failed (which may have ended its
  // session on the agent's side): every open session that has tasks out
  // sends KEEP_ALIVE after `delayMs`, so that a session the agent has
  // closed is found at once rather than at its next keep-alive.
  void ProbeSessions(int delayMs) EXCLUDES(Lock);
  // Whether the send `id` was made to `agent` and is neither reported nor
  // its task answered (on the open session, or on one that ended: the
  // agent may still report it as it ends that session): the only reports
  // the data port takes.
  bool InFlightOn(size_t agent, uint32_t id) const EXCLUDES(Lock);
  // Whether the task of the send `id` still waits for its result.
  bool Waiting(uint32_t id) const EXCLUDES(Lock);

  // What the tasks handed over together to one session carry at most (a
  // larger task goes alone): a session on a slow link comes back between
  // batches, and takes no more than it sends soon.
  static constexpr size_t kMostBatchBytes = size_t{1} << 20;

 private:
  enum class TAgentState { Opening, Up, Reopening, Lost };

  struct TAgent {
    std::string Name;
    TAgentState State = TAgentState::Opening;
    bool IsLeftOut = false;
    int PoolSize = 0;
    // Sends on the current session not yet reported, by send sequence.
    std::map<uint64_t, uint32_t> InFlight;
    bool AnsweredThisSession = false;
    // A task of the current session failed on its own: the agent ends the
    // session after it, which charges nobody.
    bool EndsAfterTaskFailure = false;
    // The agent reported the session's process ended: the session gets no
    // more tasks until it is open again.
    bool SessionGone = false;
    std::optional<TClock::time_point> ProbeAt;
    // Its session thread waits for work. It is woken when its window has
    // drained to half (so that it sends a batch, not one task per wake-up)
    // and there is work, or when something else is due.
    bool Waiting = false;
    std::string LastReason;
    TCondition Wake;  // work for its session thread
    // Answers per second of late, measured over samples of answers in a
    // row; 0 until the first sample.
    double AnswerRate = 0;
    size_t SampleAnswers = 0;
    TClock::time_point SampleStart;
    // Failures of its own (library, procedure) in a row.
    int RefusedInARow = 0;
    uint64_t Done = 0, Failed = 0, SessionsEnded = 0;
  };

  struct TTask {
    uint64_t Index = 0;
    TMessage Message;  // of its first send
    THandler Handler;  // null: the default handler
    // Ids of its sends not yet forgotten (0: none): the first, given at
    // Add, and those of later sends.
    uint32_t FirstId = 0;
    std::vector<uint32_t> LaterIds;
    int LiveSends = 0;
    bool Queued = true;
    bool Sent = false;
    bool Copied = false;  // speculated once already
    int Attempts = 0;
    int Crashes = 0;  // attempts charged by a session's end
    std::string LastReason;
    std::vector<size_t> Avoid;  // agents that could not load its library
  };

  struct TSend {
    uint64_t Task = 0;  // its index
    int Agent = -1;     // -1 until sent
    bool Live = false;  // sent on the agent's current session, not yet reported
    bool Copy = false;
    uint64_t Sequence = 0;
    TClock::time_point SentAt;
  };

  // A result decided under the lock, to be handed over outside it.
  struct TDecided {
    THandler Handler;
    kelvra::TTaskResult Result;
  };
  using TDecidedList = std::vector<TDecided>;

  size_t WindowOf(const TAgent& agent) const REQUIRES(Lock);
  // Counts an answer of the agent's into its answer rate.
  static void NoteAnswerLocked(TAgent& agent);
  // Wakes the agent's session thread if it waits and its window has
  // drained to half.
  void WakeIfDrainedLocked(TAgent& agent) REQUIRES(Lock);
  // Forgets the task and makes its result; `agent`: the one that answered.
  TDecided DecideLocked(std::unordered_map<uint64_t, TTask>::iterator found, bool ok, std::string text,
                        const std::string& agent) REQUIRES(Lock);
  // Hands results over, one at a time, then counts them delivered.
  void Deliver(TDecidedList& decided) EXCLUDES(Lock, CallbackLock);
  void WakeAgentsLocked() REQUIRES(Lock);
  void AddWarningLocked(std::string warning) REQUIRES(Lock);
  std::string ReasonsLocked() const REQUIRES(Lock);

  uint32_t NewIdLocked() REQUIRES(Lock);
  // Hands a send of the task to the agent's session.
  void SendLocked(TTask& task, size_t agent, bool copy, TWork& work) REQUIRES(Lock);
  // Takes the queue's tasks the session may have into its window.
  void FillLocked(size_t agent, TWork& work) REQUIRES(Lock);
  // A copy of a late task for the session (see speculation); when none is
  // due yet, `nextAt` says when one may be.
  bool SpeculateLocked(size_t agent, TWork& work, std::optional<TClock::time_point>& nextAt) REQUIRES(Lock);
  bool HoldsChargedLocked(const TAgent& agent) const REQUIRES(Lock);
  bool UsableLocked(size_t agent) const REQUIRES(Lock);
  bool MayTakeLocked(const TTask& task, size_t agent) const REQUIRES(Lock);
  // The send is over without a result: out of its agent's window.
  void EndSendLocked(TSend& send) REQUIRES(Lock);
  // Every unanswered send of the agent's session is over; those that could
  // have been running are charged `reason` when `charge`.
  void EndSessionSendsLocked(size_t agent, bool charge, const std::string& reason, TDecidedList& decided)
      REQUIRES(Lock);
  // A task with no send left: to the queue's front, or its failure.
  void RetryLocked(std::unordered_map<uint64_t, TTask>::iterator found, std::vector<uint64_t>& requeue,
                   TDecidedList& decided) REQUIRES(Lock);
  void RequeueLocked(const std::vector<uint64_t>& requeue) REQUIRES(Lock);
  // An agent has gone (lost or left out): with none left every unanswered
  // task fails, else those only it could have run.
  void AgentGoneLocked(TDecidedList& decided) REQUIRES(Lock);
  void LeaveOutLocked(size_t agent, const std::string& why, TDecidedList& decided) REQUIRES(Lock);

  // Constant after construction.
  const size_t TasksPerPoolThread;
  const int MaxAttempts;
  const TClock::duration SpeculateAfter;  // zero: off

  // Held while a handler runs: handlers run one at a time.
  TMutex CallbackLock ACQUIRED_BEFORE(Lock);

  mutable TMutex Lock;
  TCondition Changed;  // a result delivered, an agent's state changed, stopping
  bool StopRequested GUARDED_BY(Lock) = false;
  std::vector<std::unique_ptr<TAgent>> Agents GUARDED_BY(Lock);
  // Unanswered tasks by index.
  std::unordered_map<uint64_t, TTask> Tasks GUARDED_BY(Lock);
  // Every send id a report may name: of unanswered tasks, and sends still
  // in an agent's window whose task was answered elsewhere.
  std::unordered_map<uint32_t, TSend> Sends GUARDED_BY(Lock);
  // Indexes waiting for a session, oldest first; tasks answered or sent
  // meanwhile are skipped when met.
  std::deque<uint64_t> Queue GUARDED_BY(Lock);
  uint32_t NextId GUARDED_BY(Lock) = 1;
  uint64_t NextSequence GUARDED_BY(Lock) = 0;
  uint64_t Submitted GUARDED_BY(Lock) = 0;
  uint64_t Done GUARDED_BY(Lock) = 0;
  uint64_t Failed GUARDED_BY(Lock) = 0;
  uint64_t Delivered GUARDED_BY(Lock) = 0;
  uint64_t GivenUp GUARDED_BY(Lock) = 0;  // failed because no agent was left
  uint64_t SentTwice GUARDED_BY(Lock) = 0;
  // Callers in WaitForRoom: while there are any, every result handed over
  // wakes the waits on Changed.
  size_t RoomWaiters GUARDED_BY(Lock) = 0;
  THandler DefaultHandler GUARDED_BY(Lock);
  std::vector<std::string> WarningList GUARDED_BY(Lock);
};
