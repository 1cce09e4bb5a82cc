#include "User/T_TaskBoard.h"

#include <algorithm>

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

}  // namespace

TTaskBoard::TTaskBoard(std::vector<std::string> agentNames, int tasksPerPoolThread)
    : TasksPerPoolThread(static_cast<size_t>(std::max(tasksPerPoolThread, 1))) {
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

uint64_t TTaskBoard::Add(const std::function<std::string(uint32_t id)>& makeCommand, std::string input,
                         THandler own) {
  // The message is made before the lock is taken; the id is known only
  // under it, so the command text is finished there (a short append).
  auto message = std::make_shared<TTaskMessage>();
  message->Input = std::move(input);
  TMutexLock lock(Lock);
  bool anyLeft = false;
  for (const auto& agent : Agents) anyLeft = anyLeft || agent->State != TAgentState::Lost;
  if (!anyLeft) throw kelvra::EGridError("no agent left: " + ReasonsLocked());
  const uint32_t id = NextId++;
  if (NextId == 0) NextId = 1;
  message->Command = makeCommand(id);
  TTask& task = Tasks[id];
  task.Index = Submitted++;
  task.Message = std::move(message);
  task.Handler = std::move(own);
  Queue.push_back(id);
  WakeAgentsLocked();
  return task.Index;
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
    for (const auto& agent : Agents) anyLeft = anyLeft || agent->State != TAgentState::Lost;
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
  for (const auto& agent : Agents) {
    if (agent->State != TAgentState::Up) continue;
    ++progress.AgentsUp;
    progress.PoolThreads += static_cast<size_t>(agent->PoolSize);
  }
  return progress;
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
  for (const auto& agent : Agents)
    if (agent->State != TAgentState::Lost) return false;
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
  const int self = static_cast<int>(agentIndex);
  for (;;) {
    if (StopRequested) return false;
    const size_t window = WindowOf(agent);
    while (agent.Unanswered.size() < window && !Queue.empty()) {
      const uint32_t id = Queue.front();
      Queue.pop_front();
      auto found = Tasks.find(id);
      if (found == Tasks.end() || found->second.Agent >= 0) continue;  // answered meanwhile
      found->second.Agent = self;
      agent.Unanswered.insert(id);
      work.Tasks.push_back(found->second.Message);
    }
    const auto now = TClock::now();
    if (agent.ProbeAt && *agent.ProbeAt <= now) {
      agent.ProbeAt.reset();
      work.KeepAlive = true;
    }
    if (now >= keepAliveAt) work.KeepAlive = true;
    if (!work.Tasks.empty() || work.KeepAlive) return true;
    agent.Waiting = true;
    agent.Wake.WaitUntil(Lock, agent.ProbeAt ? std::min(*agent.ProbeAt, keepAliveAt) : keepAliveAt);
    agent.Waiting = false;
  }
}

bool TTaskBoard::SessionEnded(size_t agentIndex, const std::string& reason) {
  TMutexLock lock(Lock);
  TAgent& agent = *Agents[agentIndex];
  agent.State = TAgentState::Reopening;
  agent.LastReason = reason;
  agent.ProbeAt.reset();
  // Back to the front, in their order, for whichever session comes first.
  for (auto id = agent.Unanswered.rbegin(); id != agent.Unanswered.rend(); ++id) {
    auto found = Tasks.find(*id);
    if (found == Tasks.end()) continue;
    found->second.Agent = -1;
    Queue.push_front(*id);
  }
  agent.Unanswered.clear();
  WakeAgentsLocked();
  Changed.NotifyAll();
  return agent.AnsweredThisSession;
}

void TTaskBoard::AgentLost(size_t agentIndex, const std::string& reason) {
  std::vector<TDecided> decided;
  {
    TMutexLock lock(Lock);
    TAgent& agent = *Agents[agentIndex];
    agent.State = TAgentState::Lost;
    agent.LastReason = reason;
    agent.PoolSize = 0;
    AddWarningLocked(reason);
    Changed.NotifyAll();
    for (const auto& other : Agents)
      if (other->State != TAgentState::Lost) return;
    // Nobody is left to run what waits.
    const std::string failure = "no agent left: " + ReasonsLocked();
    std::vector<std::pair<uint64_t, uint32_t>> waiting;  // index, id: failed in submission order
    waiting.reserve(Tasks.size());
    for (const auto& entry : Tasks) waiting.emplace_back(entry.second.Index, entry.first);
    std::sort(waiting.begin(), waiting.end());
    for (const auto& [index, id] : waiting) {
      decided.push_back(DecideLocked(Tasks.find(id), false, failure));
      ++GivenUp;
    }
    Queue.clear();
  }
  Deliver(decided);
}

bool TTaskBoard::Pause(int ms) {
  const auto until = TClock::now() + std::chrono::milliseconds(ms);
  TMutexLock lock(Lock);
  while (!StopRequested)
    if (!Changed.WaitUntil(Lock, until)) break;
  return !StopRequested;
}

void TTaskBoard::Report(uint32_t id, bool ok, std::string text) {
  std::vector<TDecided> decided;
  {
    TMutexLock lock(Lock);
    auto found = Tasks.find(id);
    if (found == Tasks.end()) return;  // answered already, or never ours
    if (found->second.Agent >= 0) {
      TAgent& agent = *Agents[static_cast<size_t>(found->second.Agent)];
      if (agent.Unanswered.erase(id) > 0) {
        agent.AnsweredThisSession = true;
        NoteAnswerLocked(agent);
        if (!Queue.empty()) WakeIfDrainedLocked(agent);
      }
    }
    decided.push_back(DecideLocked(found, ok, std::move(text)));
  }
  Deliver(decided);
}

void TTaskBoard::ProbeSessions(int delayMs) {
  const auto at = TClock::now() + std::chrono::milliseconds(delayMs);
  TMutexLock lock(Lock);
  for (const auto& agent : Agents) {
    if (agent->State != TAgentState::Up || agent->Unanswered.empty()) continue;
    if (!agent->ProbeAt || *agent->ProbeAt > at) agent->ProbeAt = at;
    agent->Waiting = false;
    agent->Wake.NotifyOne();
  }
}

TTaskBoard::TDecided TTaskBoard::DecideLocked(std::unordered_map<uint32_t, TTask>::iterator found, bool ok,
                                              std::string text) {
  TTask& task = found->second;
  TDecided decided;
  decided.Handler = task.Handler ? std::move(task.Handler) : DefaultHandler;
  decided.Result.Index = task.Index;
  decided.Result.Ok = ok;
  (ok ? decided.Result.Output : decided.Result.Failure) = std::move(text);
  if (task.Agent >= 0) decided.Result.Agent = Agents[static_cast<size_t>(task.Agent)]->Name;
  ++(ok ? Done : Failed);
  Tasks.erase(found);
  return decided;
}

void TTaskBoard::Deliver(std::vector<TDecided>& decided) {
  if (decided.empty()) return;
  {
    TMutexLock callbacks(CallbackLock);
    for (TDecided& one : decided) {
      if (!one.Handler || !*one.Handler) continue;
      // A handler's error is the caller's; the grid goes on.
      try {
        (*one.Handler)(one.Result);
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
    if (agent->State == TAgentState::Up) WakeIfDrainedLocked(*agent);
}

void TTaskBoard::WakeIfDrainedLocked(TAgent& agent) {
  if (!agent.Waiting || agent.Unanswered.size() > WindowOf(agent) / 2) return;
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
