// TTaskBoard: the grid's tasks from Submit to their one result, and the
// state of each agent's session. Tasks wait in one queue for any agent; a
// session takes what its window allows (TasksPerPoolThread x pool size,
// plus about 20 ms of the agent's recent answer rate, unanswered), and a
// session that ends gives its unanswered tasks back to
// the front of the queue. The first report of a task is its result; a task
// that has been answered is forgotten, so a later report of it is dropped.
// Results are handed to their handlers one at a time, never under the
// board's lock (a handler may Submit).
//
// Threads: callers Add, WaitAll and ask Progress; each agent's session
// thread waits here for work and reports its session's state; the data
// connections' threads Report. Lock order: CallbackLock (held while a
// handler runs) before Lock; Lock is a leaf otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "Platform/T_Condition.h"
#include "Platform/T_Mutex.h"
#include "kelvra/kelvra_client.h"

class TTaskBoard {
 public:
  using TClock = std::chrono::steady_clock;
  using THandler = std::shared_ptr<const std::function<void(const kelvra::TTaskResult&)>>;

  // What goes on an agent's lobby for one task, made once at Add.
  struct TTaskMessage {
    std::string Command;  // "RUN_TASK <id> <library files> <procedure>"
    std::string Input;
  };
  using TMessage = std::shared_ptr<const TTaskMessage>;

  // What a session is to do next: send these tasks, then KEEP_ALIVE if due.
  struct TWork {
    std::vector<TMessage> Tasks;
    bool KeepAlive = false;
  };

  // `agentNames`: "HOST:PORT" of each agent, in order; an agent is named by
  // its index from here on.
  TTaskBoard(std::vector<std::string> agentNames, int tasksPerPoolThread);
  TTaskBoard(const TTaskBoard&) = delete;
  TTaskBoard& operator=(const TTaskBoard&) = delete;

  // --- callers
  // The handler of tasks added without one of their own.
  void SetDefaultHandler(THandler handler) EXCLUDES(Lock);
  // Queues a task: `makeCommand` turns its id into the RUN_TASK text.
  // Answers its index. Throws kelvra::EGridError once no agent is left.
  uint64_t Add(const std::function<std::string(uint32_t id)>& makeCommand, std::string input, THandler own)
      EXCLUDES(Lock);
  bool WaitAll(int timeoutMs) EXCLUDES(Lock);
  // Waits until fewer than `most` (at least 1) tasks are added and not yet
  // handed over. False when `timeoutMs` passed first, no agent is left or
  // the board stops.
  bool WaitForRoom(uint64_t most, int timeoutMs) EXCLUDES(Lock);
  kelvra::TGridProgress Progress() const EXCLUDES(Lock);
  std::vector<std::string> Warnings() const EXCLUDES(Lock);
  void AddWarning(std::string warning) EXCLUDES(Lock);
  // Waits until every agent's first session is open or the agent is lost.
  void WaitStarted() EXCLUDES(Lock);
  // True when no agent has a session or is opening one; `why` then holds
  // each agent's last reason.
  bool NoAgentLeft(std::string& why) const EXCLUDES(Lock);
  // Ends every wait here for good (the grid is being destroyed).
  void Stop() EXCLUDES(Lock);
  bool Stopping() const EXCLUDES(Lock);

  // --- an agent's session thread
  void SessionUp(size_t agent, int poolSize) EXCLUDES(Lock);
  // Waits until the session has work: tasks its window has room for, a
  // KEEP_ALIVE due at `keepAliveAt` (or asked for sooner, see
  // ProbeSessions). The tasks handed out count as sent on this session.
  // False once stopping.
  bool WaitForWork(size_t agent, TClock::time_point keepAliveAt, TWork& work) EXCLUDES(Lock);
  // The session ended for `reason`: its unanswered tasks go back to the
  // front of the queue. Answers whether any of its tasks was answered
  // while it was open (a session that achieved nothing counts against the
  // agent).
  bool SessionEnded(size_t agent, const std::string& reason) EXCLUDES(Lock);
  // The agent is given up for `reason` (also a warning). When it was the
  // last, every unanswered task fails with "no agent left: ...".
  void AgentLost(size_t agent, const std::string& reason) EXCLUDES(Lock);
  // Waits `ms` unless stopping first; false when stopping.
  bool Pause(int ms) EXCLUDES(Lock);

  // --- the data connections
  // A report for task `id`: its output (ok) or its failure text. Reports
  // of tasks that are not waiting for one are dropped.
  void Report(uint32_t id, bool ok, std::string text) EXCLUDES(Lock, CallbackLock);
  // A data connection ended, or a task failed (which may have ended its
  // session on the agent's side): every open session that has tasks out
  // sends KEEP_ALIVE after `delayMs`, so that a session the agent has
  // closed is found at once rather than at its next keep-alive.
  void ProbeSessions(int delayMs) EXCLUDES(Lock);

 private:
  enum class TAgentState { Opening, Up, Reopening, Lost };

  struct TAgent {
    std::string Name;
    TAgentState State = TAgentState::Opening;
    int PoolSize = 0;
    std::set<uint32_t> Unanswered;  // sent on the current session, ids in order
    bool AnsweredThisSession = false;
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
  };

  struct TTask {
    uint64_t Index = 0;
    TMessage Message;
    THandler Handler;  // null: the default handler
    int Agent = -1;    // the agent it was last sent to; -1 before the first send
  };

  // A result decided under the lock, to be handed over outside it.
  struct TDecided {
    THandler Handler;
    kelvra::TTaskResult Result;
  };

  size_t WindowOf(const TAgent& agent) const REQUIRES(Lock);
  // Counts an answer of the agent's into its answer rate.
  static void NoteAnswerLocked(TAgent& agent);
  // Wakes the agent's session thread if it waits and its window has
  // drained to half.
  void WakeIfDrainedLocked(TAgent& agent) REQUIRES(Lock);
  // Forgets task `found` and makes its result.
  TDecided DecideLocked(std::unordered_map<uint32_t, TTask>::iterator found, bool ok, std::string text)
      REQUIRES(Lock);
  // Hands results over, one at a time, then counts them delivered.
  void Deliver(std::vector<TDecided>& decided) EXCLUDES(Lock, CallbackLock);
  void WakeAgentsLocked() REQUIRES(Lock);
  void AddWarningLocked(std::string warning) REQUIRES(Lock);
  std::string ReasonsLocked() const REQUIRES(Lock);

  // Constant after construction.
  const size_t TasksPerPoolThread;

  // Held while a handler runs: handlers run one at a time.
  TMutex CallbackLock ACQUIRED_BEFORE(Lock);

  mutable TMutex Lock;
  TCondition Changed;  // a result delivered, an agent's state changed, stopping
  bool StopRequested GUARDED_BY(Lock) = false;
  std::vector<std::unique_ptr<TAgent>> Agents GUARDED_BY(Lock);
  std::unordered_map<uint32_t, TTask> Tasks GUARDED_BY(Lock);
  // Ids waiting for a session, oldest first; ids answered meanwhile are
  // skipped when met.
  std::deque<uint32_t> Queue GUARDED_BY(Lock);
  uint32_t NextId GUARDED_BY(Lock) = 1;
  uint64_t Submitted GUARDED_BY(Lock) = 0;
  uint64_t Done GUARDED_BY(Lock) = 0;
  uint64_t Failed GUARDED_BY(Lock) = 0;
  uint64_t Delivered GUARDED_BY(Lock) = 0;
  uint64_t GivenUp GUARDED_BY(Lock) = 0;  // failed because no agent was left
  // Callers in WaitForRoom: while there are any, every result handed over
  // wakes the waits on Changed.
  size_t RoomWaiters GUARDED_BY(Lock) = 0;
  THandler DefaultHandler GUARDED_BY(Lock);
  std::vector<std::string> WarningList GUARDED_BY(Lock);
};
