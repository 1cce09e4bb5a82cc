// SPDX-License-Identifier: Apache-2.0
#include "User/T_TaskBoard.h"

#include <algorithm>
#include <utility>

namespace {

// The agent keeps at most 10000 tasks of one session waiting; the window
// stays below that whatever the pool size and the option say.
constexpr size_t kMostUnanswered = 9000;
// Besides its pool's share, an agent is sent what it answers in this long.
constexpr double kWorkAheadSeconds = 0.020;
// The answer rate is measured over this many answers in a row, or over
// this long, whichever comes first.
constexpr size_t kRateSample = 64;
constexpr auto kRateSampleTime = std::chrono::milliseconds(50);
// Warnings kept; a grid whose tasks keep failing would otherwise grow its
// list (one line per ended session) without end.
constexpr size_t kMostWarnings = 1000;
// Queued tasks one session passes over at a time (tasks it may not take:
// its agent could not run them, or it already runs a charged one).
constexpr size_t kMostPassedOver = 256;

// What an agent's TASK_FAILED says: the task failed; the agent could not
// run it (its library or procedure), which another agent may; or the
// session's process ended with it unanswered.
enum class TFailure { OfTask, OfAgent, SessionProcessEnded };

TFailure FailureOf(const std::string& text) {
  static constexpr std::string_view kOfAgent[] = {"POOLTHREAD: unable to load dll ",
                                                  "POOLTHREAD:  unable to run task - proc=nil."};
  if (text.starts_with("Session process ended:")) return TFailure::SessionProcessEnded;
  for (std::string_view prefix : kOfAgent)
    if (text.starts_with(prefix)) return TFailure::OfAgent;
  return TFailure::OfTask;
}

}  // namespace

TTaskBoard::TTaskBoard(std::vector<std::string> agentNames, int tasksPerPoolThread, int maxAttempts,
                       double speculateAfterSeconds)
    : TasksPerPoolThread(static_cast<size_t>(std::max(tasksPerPoolThread, 1))),
      MaxAttempts(std::max(maxAttempts, 1)),
      SpeculateAfter(speculateAfterSeconds > 0 ? std::chrono::duration_cast<TClock::duration>(
                                                     std::chrono::duration<double>(speculateAfterSeconds))
                                               : TClock::duration::zero()) {
  TMutexLock lock(Lock);
  for (std::string& name : agentNames) {
    auto agent = std::make_unique<TAgent>();
    agent->Name = std::move(name);
    Agents.push_back(std::move(agent));
  }
}

void TTaskBoard::SetDefaultHandler(THandler handler) {
  TMutexLock lock(Lock);
  DefaultHandler = std::move(handler);
}

void TTaskBoard::SetDefaultHandler(TReader reader) {
  SetDefaultHandler(std::make_shared<const std::function<void(kelvra::TTaskResult&&)>>(
      [reader = std::move(reader)](kelvra::TTaskResult&& result) { (*reader)(result); }));
}

uint64_t TTaskBoard::Add(const std::function<std::string(uint32_t id)>& makeCommand, std::string input,
                         THandler own) {
  // The message is made before the lock is taken; the id is known only
  // under it, so the command text is finished there (a short append).
  auto message = std::make_shared<TTaskMessage>();
  message->OwnInput = std::move(input);
  message->Input = message->OwnInput;
  TMutexLock lock(Lock);
  bool anyLeft = false;
  for (size_t agent = 0; agent < Agents.size(); ++agent) anyLeft = anyLeft || UsableLocked(agent);
  if (!anyLeft) throw kelvra::EGridError("no agent left: " + ReasonsLocked());
  const uint32_t id = NewIdLocked();
  message->Command = makeCommand(id);
  const uint64_t index = Submitted++;
  TTask& task = Tasks[index];
  task.Index = index;
  task.Message = std::move(message);
  task.Handler = std::move(own);
  task.FirstId = id;
  Sends[id].Task = index;
  Queue.push_back(index);
  WakeAgentsLocked();
  return index;
}

bool TTaskBoard::WaitAll(int timeoutMs) {
  const auto deadline =
      timeoutMs < 0 ? TClock::time_point::max() : TClock::now() + std::chrono::milliseconds(timeoutMs);
  TMutexLock lock(Lock);
  while (Delivered < Submitted && !StopRequested) {
    if (deadline == TClock::time_point::max()) {
      Changed.Wait(Lock);
    } else if (!Changed.WaitUntil(Lock, deadline) && Delivered < Submitted) {
      return false;
    }
  }
  return Delivered == Submitted && GivenUp == 0;
}

bool TTaskBoard::WaitForRoom(uint64_t most, int timeoutMs) {
  const auto deadline =
      timeoutMs < 0 ? TClock::time_point::max() : TClock::now() + std::chrono::milliseconds(timeoutMs);
  most = std::max<uint64_t>(most, 1);
  TMutexLock lock(Lock);
  ++RoomWaiters;
  bool room = false;
  while (!StopRequested) {
    bool anyLeft = false;
    for (size_t agent = 0; agent < Agents.size(); ++agent) anyLeft = anyLeft || UsableLocked(agent);
    room = anyLeft && Submitted - Delivered < most;
    if (room || !anyLeft || TClock::now() >= deadline) break;
    if (deadline == TClock::time_point::max())
      Changed.Wait(Lock);
    else
      Changed.WaitUntil(Lock, deadline);
  }
  --RoomWaiters;
  return room;
}

kelvra::TGridProgress TTaskBoard::Progress() const {
  TMutexLock lock(Lock);
  kelvra::TGridProgress progress;
  progress.Submitted = Submitted;
  progress.Done = Done;
  progress.Failed = Failed;
  progress.SentTwice = SentTwice;
  for (const auto& agent : Agents) {
    if (agent->State != TAgentState::Up || agent->IsLeftOut) continue;
    ++progress.AgentsUp;
    progress.PoolThreads += static_cast<size_t>(agent->PoolSize);
  }
  return progress;
}

std::vector<kelvra::TAgentSummary> TTaskBoard::AgentSummaries() const {
  TMutexLock lock(Lock);
  std::vector<kelvra::TAgentSummary> summaries;
  for (size_t index = 0; index < Agents.size(); ++index) {
    const TAgent& agent = *Agents[index];
    kelvra::TAgentSummary& summary = summaries.emplace_back();
    summary.Agent = agent.Name;
    summary.Done = agent.Done;
    summary.Failed = agent.Failed;
    summary.SessionsEnded = agent.SessionsEnded;
    summary.Lost = !UsableLocked(index);
    if (summary.Lost) summary.Reason = agent.LastReason;
  }
  return summaries;
}

std::vector<std::string> TTaskBoard::Warnings() const {
  TMutexLock lock(Lock);
  return WarningList;
}

void TTaskBoard::AddWarning(std::string warning) {
  TMutexLock lock(Lock);
  AddWarningLocked(std::move(warning));
}

void TTaskBoard::AddWarningLocked(std::string warning) {
  if (WarningList.size() < kMostWarnings)
    WarningList.push_back(std::move(warning));
  else if (WarningList.size() == kMostWarnings)
    WarningList.push_back("more warnings left out");
}

void TTaskBoard::WaitStarted() {
  TMutexLock lock(Lock);
  for (size_t agent = 0; agent < Agents.size() && !StopRequested;) {
    if (Agents[agent]->State != TAgentState::Opening)
      ++agent;
    else
      Changed.Wait(Lock);
  }
}

bool TTaskBoard::NoAgentLeft(std::string& why) const {
  TMutexLock lock(Lock);
  for (size_t agent = 0; agent < Agents.size(); ++agent)
    if (UsableLocked(agent)) return false;
  why = ReasonsLocked();
  return true;
}

void TTaskBoard::Stop() {
  TMutexLock lock(Lock);
  StopRequested = true;
  for (const auto& agent : Agents) agent->Wake.NotifyAll();
  Changed.NotifyAll();
}

bool TTaskBoard::Stopping() const {
  TMutexLock lock(Lock);
  return StopRequested;
}

void TTaskBoard::SessionUp(size_t agentIndex, int poolSize) {
  TMutexLock lock(Lock);
  TAgent& agent = *Agents[agentIndex];
  agent.State = TAgentState::Up;
  agent.PoolSize = poolSize;
  agent.AnsweredThisSession = false;
  agent.EndsAfterTaskFailure = false;
  agent.SessionGone = false;
  agent.ProbeAt.reset();
  Changed.NotifyAll();
}

size_t TTaskBoard::WindowOf(const TAgent& agent) const {
  const size_t share = TasksPerPoolThread * static_cast<size_t>(std::max(agent.PoolSize, 1));
  const auto ahead = static_cast<size_t>(std::min(agent.AnswerRate * kWorkAheadSeconds, double{kMostUnanswered}));
  return std::min(kMostUnanswered, share + ahead);
}

void TTaskBoard::NoteAnswerLocked(TAgent& agent) {
  const TClock::time_point now = TClock::now();
  if (agent.SampleAnswers++ == 0) {
    agent.SampleStart = now;
    return;
  }
  const auto elapsed = now - agent.SampleStart;
  if (agent.SampleAnswers < kRateSample && elapsed < kRateSampleTime) return;
  const double seconds = std::chrono::duration<double>(elapsed).count();
  if (seconds > 0) {
    const double measured = static_cast<double>(agent.SampleAnswers - 1) / seconds;
    agent.AnswerRate = agent.AnswerRate == 0 ? measured : (agent.AnswerRate + measured) / 2;
  }
  agent.SampleAnswers = 0;
}

bool TTaskBoard::WaitForWork(size_t agentIndex, TClock::time_point keepAliveAt, TWork& work) {
  work.Tasks.clear();
  work.KeepAlive = false;
  TMutexLock lock(Lock);
  TAgent& agent = *Agents[agentIndex];
  for (;;) {
    if (StopRequested || agent.IsLeftOut) return false;
    TClock::time_point wakeAt = keepAliveAt;
    if (!agent.SessionGone) {
      FillLocked(agentIndex, work);
      if (SpeculateAfter > TClock::duration::zero() && agent.InFlight.size() < WindowOf(agent)) {
        std::optional<TClock::time_point> speculateAt;
        while (agent.InFlight.size() < WindowOf(agent) && SpeculateLocked(agentIndex, work, speculateAt)) {
        }
        // A task sent elsewhere from now on is due no sooner than this.
        wakeAt = std::min(wakeAt, TClock::now() + SpeculateAfter);
        if (speculateAt) wakeAt = std::min(wakeAt, *speculateAt);
      }
    }
    const auto now = TClock::now();
    if (agent.ProbeAt && *agent.ProbeAt <= now) {
      agent.ProbeAt.reset();
      work.KeepAlive = true;
    }
    if (now >= keepAliveAt) work.KeepAlive = true;
    if (!work.Tasks.empty() || work.KeepAlive) return true;
    if (agent.ProbeAt) wakeAt = std::min(wakeAt, *agent.ProbeAt);
    agent.Waiting = true;
    agent.Wake.WaitUntil(Lock, wakeAt);
    agent.Waiting = false;
  }
}

void TTaskBoard::FillLocked(size_t agentIndex, TWork& work) {
  TAgent& agent = *Agents[agentIndex];
  const size_t window = WindowOf(agent);
  std::vector<uint64_t> passedOver;
  std::optional<bool> holdsCharged;  // asked only when a charged task is met
  size_t batchBytes = 0;
  while (agent.InFlight.size() < window && !Queue.empty() && passedOver.size() < kMostPassedOver) {
    const uint64_t index = Queue.front();
    Queue.pop_front();
    auto found = Tasks.find(index);
    if (found == Tasks.end() || !found->second.Queued) continue;  // answered meanwhile
    TTask& task = found->second;
    // Beyond the first, a batch's inputs come to at most kMostBatchBytes.
    const size_t bytes = task.Message->Command.size() + task.Message->Input.size();
    if (!work.Tasks.empty() && batchBytes + bytes > kMostBatchBytes) {
      Queue.push_front(index);
      break;
    }
    bool may = MayTakeLocked(task, agentIndex);
    if (may && task.Crashes > 0) {
      if (!holdsCharged) holdsCharged = HoldsChargedLocked(agent);
      may = !*holdsCharged;
    }
    if (!may) {
      passedOver.push_back(index);
      continue;
    }
    SendLocked(task, agentIndex, false, work);
    batchBytes += bytes;
    if (task.Crashes > 0) holdsCharged = true;
  }
  for (auto index = passedOver.rbegin(); index != passedOver.rend(); ++index) Queue.push_front(*index);
}

bool TTaskBoard::SpeculateLocked(size_t agentIndex, TWork& work, std::optional<TClock::time_point>& nextAt) {
  const auto now = TClock::now();
  std::optional<bool> holdsCharged;
  std::optional<std::pair<uint64_t, uint64_t>> oldest;  // sequence, task index
  for (size_t other = 0; other < Agents.size(); ++other) {
    if (other == agentIndex) continue;
    // Its sends in the order they were made, the oldest first: the first
    // that may be copied is its candidate, or says when it will be one.
    for (const auto& [sequence, id] : Agents[other]->InFlight) {
      const TSend& send = Sends.at(id);
      auto found = Tasks.find(send.Task);
      if (send.Copy || found == Tasks.end() || found->second.Copied || found->second.LiveSends != 1 ||
          !MayTakeLocked(found->second, agentIndex))
        continue;
      if (found->second.Crashes > 0) {
        if (!holdsCharged) holdsCharged = HoldsChargedLocked(*Agents[agentIndex]);
        if (*holdsCharged) continue;
      }
      const TClock::time_point due = send.SentAt + SpeculateAfter;
      if (due > now) {
        if (!nextAt || due < *nextAt) nextAt = due;
      } else if (!oldest || sequence < oldest->first) {
        oldest.emplace(sequence, send.Task);
      }
      break;
    }
  }
  if (!oldest) return false;
  SendLocked(Tasks.at(oldest->second), agentIndex, true, work);
  return true;
}

bool TTaskBoard::HoldsChargedLocked(const TAgent& agent) const {
  for (const auto& [sequence, id] : agent.InFlight) {
    auto found = Tasks.find(Sends.at(id).Task);
    if (found != Tasks.end() && found->second.Crashes > 0) return true;
  }
  return false;
}

bool TTaskBoard::UsableLocked(size_t agent) const {
  return Agents[agent]->State != TAgentState::Lost && !Agents[agent]->IsLeftOut;
}

bool TTaskBoard::MayTakeLocked(const TTask& task, size_t agent) const {
  return std::find(task.Avoid.begin(), task.Avoid.end(), agent) == task.Avoid.end();
}

uint32_t TTaskBoard::NewIdLocked() {
  for (;;) {
    const uint32_t id = NextId++;
    if (NextId == 0) NextId = 1;
    if (!Sends.contains(id)) return id;
  }
}

void TTaskBoard::SendLocked(TTask& task, size_t agentIndex, bool copy, TWork& work) {
  TAgent& agent = *Agents[agentIndex];
  uint32_t id = task.FirstId;  // kept until sent
  TMessage message = task.Message;
  if (task.Sent) {
    // Sent before: the same task under a new id, so that reports of the
    // earlier send are told apart.
    id = NewIdLocked();
    const std::string& first = task.Message->Command;
    const size_t afterId = first.find(' ', first.find(' ') + 1);
    auto again = std::make_shared<TTaskMessage>();
    again->Command = "RUN_TASK " + std::to_string(id) + (afterId == std::string::npos ? "" : first.substr(afterId));
    again->Input = task.Message->Input;
    again->First = task.Message;
    message = std::move(again);
    task.LaterIds.push_back(id);
  }
  TSend& send = Sends[id];
  send.Task = task.Index;
  send.Agent = static_cast<int>(agentIndex);
  send.Live = true;
  send.Copy = copy;
  send.Sequence = NextSequence++;
  send.SentAt = TClock::now();
  agent.InFlight.emplace(send.Sequence, id);
  ++task.LiveSends;
  task.Sent = true;
  task.Queued = false;
  if (copy) {
    task.Copied = true;
    ++SentTwice;
  }
  work.Tasks.push_back(std::move(message));
}

void TTaskBoard::EndSendLocked(TSend& send) {
  if (!send.Live) return;
  send.Live = false;
  Agents[static_cast<size_t>(send.Agent)]->InFlight.erase(send.Sequence);
  auto found = Tasks.find(send.Task);
  if (found != Tasks.end()) --found->second.LiveSends;
}

void TTaskBoard::EndSessionSendsLocked(size_t agentIndex, bool charge, const std::string& reason,
                                       TDecidedList& decided) {
  TAgent& agent = *Agents[agentIndex];
  const size_t mayHaveRun = static_cast<size_t>(std::max(agent.PoolSize, 1));
  std::map<uint64_t, uint32_t> ended;
  ended.swap(agent.InFlight);
  std::vector<uint64_t> requeue;
  size_t position = 0;
  for (const auto& [sequence, id] : ended) {
    const bool couldHaveRun = position++ < mayHaveRun;
    auto sent = Sends.find(id);
    sent->second.Live = false;
    auto found = Tasks.find(sent->second.Task);
    if (found == Tasks.end()) {  // answered elsewhere: nothing more to wait for
      Sends.erase(sent);
      continue;
    }
    TTask& task = found->second;
    --task.LiveSends;
    if (charge && couldHaveRun) {
      ++task.Attempts;
      ++task.Crashes;
      task.LastReason = reason;
    }
    if (task.LiveSends == 0) RetryLocked(found, requeue, decided);
  }
  RequeueLocked(requeue);
}

void TTaskBoard::RetryLocked(std::unordered_map<uint64_t, TTask>::iterator found, std::vector<uint64_t>& requeue,
                             TDecidedList& decided) {
  TTask& task = found->second;
  if (task.Attempts >= MaxAttempts) {
    decided.push_back(DecideLocked(
        found, false, "given up after " + std::to_string(task.Attempts) + " attempts: " + task.LastReason, ""));
    return;
  }
  bool anyUsable = false, anyMayTake = false;
  for (size_t agent = 0; agent < Agents.size(); ++agent) {
    if (!UsableLocked(agent)) continue;
    anyUsable = true;
    anyMayTake = anyMayTake || MayTakeLocked(task, agent);
  }
  // With no agent at all left, every task fails alike (AgentGoneLocked).
  if (anyUsable && !anyMayTake) {
    decided.push_back(DecideLocked(found, false, "no other agent can run it: " + task.LastReason, ""));
    return;
  }
  requeue.push_back(task.Index);
}

void TTaskBoard::RequeueLocked(const std::vector<uint64_t>& requeue) {
  // Back to the front, in their order, for whichever session comes first.
  for (auto index = requeue.rbegin(); index != requeue.rend(); ++index) {
    Tasks.at(*index).Queued = true;
    Queue.push_front(*index);
  }
  if (!requeue.empty()) WakeAgentsLocked();
}

bool TTaskBoard::SessionEnded(size_t agentIndex, const std::string& reason) {
  TDecidedList decided;
  bool answered = false;
  {
    TMutexLock lock(Lock);
    TAgent& agent = *Agents[agentIndex];
    agent.State = TAgentState::Reopening;
    agent.LastReason = reason;
    agent.ProbeAt.reset();
    ++agent.SessionsEnded;
    EndSessionSendsLocked(agentIndex, !agent.EndsAfterTaskFailure,
                          "the session on agent " + agent.Name + " ended: " + reason, decided);
    WakeAgentsLocked();
    Changed.NotifyAll();
    answered = agent.AnsweredThisSession;
  }
  Deliver(decided);
  return answered;
}

void TTaskBoard::AgentLost(size_t agentIndex, const std::string& reason) {
  TDecidedList decided;
  {
    TMutexLock lock(Lock);
    TAgent& agent = *Agents[agentIndex];
    agent.State = TAgentState::Lost;
    agent.LastReason = reason;
    agent.PoolSize = 0;
    AddWarningLocked(reason);
    Changed.NotifyAll();
    AgentGoneLocked(decided);
  }
  Deliver(decided);
}

bool TTaskBoard::LeftOut(size_t agent) const {
  TMutexLock lock(Lock);
  return Agents[agent]->IsLeftOut;
}

void TTaskBoard::LeaveOutLocked(size_t agentIndex, const std::string& why, TDecidedList& decided) {
  TAgent& agent = *Agents[agentIndex];
  agent.IsLeftOut = true;
  agent.LastReason = why;
  AddWarningLocked(why);
  // What it still has goes elsewhere, uncharged; a late answer of it counts.
  EndSessionSendsLocked(agentIndex, false, why, decided);
  agent.Waiting = false;
  agent.Wake.NotifyAll();
  Changed.NotifyAll();
  AgentGoneLocked(decided);
}

void TTaskBoard::AgentGoneLocked(TDecidedList& decided) {
  bool anyUsable = false;
  for (size_t agent = 0; agent < Agents.size(); ++agent) anyUsable = anyUsable || UsableLocked(agent);
  // Failed in submission order: nobody is left to run them, or nobody
  // left may (the others could not load their library).
  std::vector<uint64_t> failing;
  for (const auto& [index, task] : Tasks) {
    if (!anyUsable) {
      failing.push_back(index);
      continue;
    }
    if (!task.Queued) continue;
    bool anyMayTake = false;
    for (size_t agent = 0; agent < Agents.size() && !anyMayTake; ++agent)
      anyMayTake = UsableLocked(agent) && MayTakeLocked(task, agent);
    if (!anyMayTake) failing.push_back(index);
  }
  std::sort(failing.begin(), failing.end());
  const std::string noneLeft = anyUsable ? std::string() : "no agent left: " + ReasonsLocked();
  for (uint64_t index : failing) {
    auto found = Tasks.find(index);
    if (anyUsable) {
      decided.push_back(DecideLocked(found, false, "no other agent can run it: " + found->second.LastReason, ""));
    } else {
      decided.push_back(DecideLocked(found, false, noneLeft, ""));
      ++GivenUp;
    }
  }
  if (!anyUsable) Queue.clear();
}

bool TTaskBoard::Pause(int ms) {
  const auto until = TClock::now() + std::chrono::milliseconds(ms);
  TMutexLock lock(Lock);
  while (!StopRequested)
    if (!Changed.WaitUntil(Lock, until)) break;
  return !StopRequested;
}

void TTaskBoard::Report(uint32_t id, bool ok, std::string text) {
  TDecidedList decided;
  {
    TMutexLock lock(Lock);
    auto sent = Sends.find(id);
    if (sent == Sends.end() || sent->second.Agent < 0) return;  // answered already, or never ours
    const uint64_t index = sent->second.Task;
    const size_t agentIndex = static_cast<size_t>(sent->second.Agent);
    const bool live = sent->second.Live;
    TAgent& agent = *Agents[agentIndex];
    const TFailure failure = ok ? TFailure::OfTask : FailureOf(text);
    if (live && failure == TFailure::SessionProcessEnded) {
      // The first of the session's tasks reported so: the session is over
      // (its lobby closes too), and with it all it had.
      agent.SessionGone = true;
      EndSessionSendsLocked(agentIndex, true, text, decided);
    } else if (live) {
      EndSendLocked(sent->second);
      if (failure == TFailure::OfTask) {
        agent.AnsweredThisSession = true;
        agent.RefusedInARow = 0;
        if (!ok) agent.EndsAfterTaskFailure = true;
        NoteAnswerLocked(agent);
      } else {
        ++agent.RefusedInARow;
      }
    }
    // This send is over: nothing more can come of it.
    Sends.erase(id);
    auto found = Tasks.find(index);
    if (found != Tasks.end()) {
      if (found->second.FirstId == id) found->second.FirstId = 0;
      std::erase(found->second.LaterIds, id);
    }
    if (found != Tasks.end() && failure == TFailure::OfTask) {
      ++(ok ? agent.Done : agent.Failed);
      decided.push_back(DecideLocked(found, ok, std::move(text), agent.Name));
    } else if (live && failure == TFailure::OfAgent) {
      if (found != Tasks.end()) {
        TTask& task = found->second;
        ++task.Attempts;
        task.LastReason = text;
        if (MayTakeLocked(task, agentIndex)) task.Avoid.push_back(agentIndex);
      }
      if (agent.RefusedInARow >= kLeaveOutAfter && !agent.IsLeftOut)
        LeaveOutLocked(agentIndex,
                       "agent " + agent.Name + " is left out of the run: " + std::to_string(agent.RefusedInARow) +
                           " tasks in a row failed there: " + text,
                       decided);
      found = Tasks.find(index);  // the agent's end may have decided it
      if (found != Tasks.end() && found->second.LiveSends == 0 && !found->second.Queued) {
        std::vector<uint64_t> requeue;
        RetryLocked(found, requeue, decided);
        RequeueLocked(requeue);
      }
    }
    if (live && !Queue.empty()) WakeIfDrainedLocked(agent);
  }
  Deliver(decided);
}

void TTaskBoard::ProbeSessions(int delayMs) {
  const auto at = TClock::now() + std::chrono::milliseconds(delayMs);
  TMutexLock lock(Lock);
  for (const auto& agent : Agents) {
    // A session whose process has ended has nothing out any more, and is
    // found closed by the probe as well.
    if (agent->State != TAgentState::Up || (agent->InFlight.empty() && !agent->SessionGone)) continue;
    if (!agent->ProbeAt || *agent->ProbeAt > at) agent->ProbeAt = at;
    agent->Waiting = false;
    agent->Wake.NotifyOne();
  }
}

bool TTaskBoard::InFlightOn(size_t agentIndex, uint32_t id) const {
  TMutexLock lock(Lock);
  // A send is kept until it is reported or its task is answered: on the
  // agent's open session, or on one that ended (the agent may still report
  // it as it ends that session).
  const auto sent = Sends.find(id);
  return sent != Sends.end() && sent->second.Agent == static_cast<int>(agentIndex);
}

bool TTaskBoard::Waiting(uint32_t id) const {
  TMutexLock lock(Lock);
  const auto sent = Sends.find(id);
  return sent != Sends.end() && Tasks.count(sent->second.Task) > 0;
}

TTaskBoard::TDecided TTaskBoard::DecideLocked(std::unordered_map<uint64_t, TTask>::iterator found, bool ok,
                                              std::string text, const std::string& agent) {
  TTask& task = found->second;
  // Its sends are forgotten but for those still in an agent's window: they
  // keep their place there until the agent reports them.
  for (size_t which = 0; which <= task.LaterIds.size(); ++which) {
    auto sent = Sends.find(which == 0 ? task.FirstId : task.LaterIds[which - 1]);
    if (sent != Sends.end() && !sent->second.Live) Sends.erase(sent);
  }
  TDecided decided;
  decided.Handler = task.Handler ? std::move(task.Handler) : DefaultHandler;
  decided.Result.Index = task.Index;
  decided.Result.Ok = ok;
  (ok ? decided.Result.Output : decided.Result.Failure) = std::move(text);
  decided.Result.Agent = agent;
  ++(ok ? Done : Failed);
  Tasks.erase(found);
  return decided;
}

void TTaskBoard::Deliver(TDecidedList& decided) {
  if (decided.empty()) return;
  {
    TMutexLock callbacks(CallbackLock);
    for (TDecided& one : decided) {
      if (!one.Handler || !*one.Handler) continue;
      // A handler's error is the caller's; the grid goes on.
      try {
        (*one.Handler)(std::move(one.Result));
      } catch (const std::exception& error) {
        AddWarning("the result handler of task " + std::to_string(one.Result.Index) + " threw: " + error.what());
      } catch (...) {
        AddWarning("the result handler of task " + std::to_string(one.Result.Index) + " threw");
      }
    }
  }
  TMutexLock lock(Lock);
  Delivered += decided.size();
  if (Delivered == Submitted || RoomWaiters > 0) Changed.NotifyAll();
}

void TTaskBoard::WakeAgentsLocked() {
  for (const auto& agent : Agents)
    if (agent->State == TAgentState::Up && !agent->IsLeftOut) WakeIfDrainedLocked(*agent);
}

void TTaskBoard::WakeIfDrainedLocked(TAgent& agent) {
  if (!agent.Waiting || agent.InFlight.size() > WindowOf(agent) / 2) return;
  agent.Waiting = false;  // one wake-up is enough
  agent.Wake.NotifyOne();
}

std::string TTaskBoard::ReasonsLocked() const {
  std::string reasons;
  for (const auto& agent : Agents) {
    if (agent->LastReason.empty()) continue;
    if (!reasons.empty()) reasons += "; ";
    reasons += agent->LastReason;
  }
  return reasons;
}
