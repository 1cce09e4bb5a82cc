// SPDX-License-Identifier: Apache-2.0
// The user's side of a kelvra grid: sends tasks to one or more agents and
// serves what they ask back (task libraries, data blocks), so that a program
// only says what to run and takes the results.
//
//   kelvra::TGridOptions options;
//   options.Agents = {kelvra::TAgentAddress::Parse("10.0.0.5"), kelvra::TAgentAddress::Parse("10.0.0.6:4102")};
//   kelvra::TGrid grid(options);                  // listens on the data port, opens a session per agent
//   grid.AddFileFromPath("build/libsim.so");      // served by its base name (with libsim.so.minisig beside it)
//   grid.OnResult([](const kelvra::TTaskResult& r) { ... });   // once per task, on a grid thread
//   for (...) grid.Submit({"libsim.so"}, "Simulate", input);
//   grid.WaitAll();
//
// Every task submitted gets exactly one result: its output, or its failure
// text. A task whose agent dies or ends the session before reporting it is
// sent to another agent (or to the same agent's next session), within the
// bound of MaxAttempts; a report that comes after the task was answered
// elsewhere is dropped. Errors the caller must act on (no agent reachable,
// the data port taken, a file that cannot be read) are thrown as EGridError
// with a text that says what and why.
//
// Threads: every member may be called from any thread. Callbacks run on the
// grid's own threads, one at a time, and must not call WaitAll or destroy
// the grid.
#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvra {

// The ports an agent uses unless its settings say otherwise.
constexpr uint16_t kDefaultLobbyPort = 4102;
constexpr uint16_t kDefaultDataPort = 4103;

class EGridError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TAgentAddress {
  std::string Host;  // dotted IPv4 address or host name
  uint16_t LobbyPort = kDefaultLobbyPort;

  // "HOST" or "HOST:PORT"; throws EGridError on an empty host or a bad port.
  static TAgentAddress Parse(const std::string& text);
  // "HOST:PORT".
  std::string Text() const;
};

struct TGridOptions {
  std::vector<TAgentAddress> Agents;
  // The port the agents connect back to (their [user] data_port), on every
  // local address unless DataBindAddress names one. It serves the addresses
  // of these agents only (a host name resolved as each session opens);
  // what it refuses is among the warnings.
  uint16_t DataPort = kDefaultDataPort;
  std::string DataBindAddress;  // empty: all local addresses
  // A lobby that has sent nothing for this long sends KEEP_ALIVE (agents end
  // a session after 20 s of silence).
  int KeepAliveSeconds = 5;
  // Bound of one connect to an agent's lobby.
  int ConnectTimeoutMs = 5000;
  // Tasks sent to one agent and not yet answered: this many times its pool
  // size (GET_POOLSIZE), so that a slow agent does not hold work a free one
  // could run, plus what the agent has lately answered in about 20 ms, so
  // that an agent that answers short tasks fast never runs dry.
  int TasksPerPoolThread = 4;
  // How often a session that ended is opened again before its agent counts
  // as lost; its unanswered tasks go to the other agents at once.
  int ReconnectAttempts = 3;
  // Attempts of one task before it fails with "given up after N attempts:
  // <the last reason>" and is never sent again. An attempt is charged when
  // the task may have been running on a session that ended abnormally (the
  // lobby connection dropped or the agent ended it, or the agent reported
  // "Session process ended: ..."): the grid cannot see which of a session's
  // unanswered tasks were running, so it charges its oldest unanswered ones
  // in send order, as many as the agent's pool size, and sends the rest
  // again uncharged. A session the agent ended after a task's own failure
  // charges nobody, and a task charged once is never sent beside another
  // charged one on one session (one poison task costs a good one at most
  // one attempt). A task the agent could not run for want of its library or
  // procedure ("POOLTHREAD: unable to load dll ...", "... proc=nil ...") is
  // charged too and sent to another agent; an agent that fails 3 tasks in a
  // row so is left out of the run with a warning.
  int MaxAttempts = 3;
  // Above 0: a task still unanswered this many seconds after it was sent is
  // sent to a second agent too, when that agent has room in its window and
  // nothing else waits for it; the first answer is the result, the other is
  // dropped (TGridProgress::SentTwice counts them). 0: off.
  double SpeculateAfterSeconds = 0;
};

struct TTaskResult {
  uint64_t Index = 0;   // as answered by Submit
  bool Ok = false;
  std::string Output;   // the task's output (TASK_DONE)
  std::string Failure;  // when !Ok: the agent's TASK_FAILED text, or why the grid gave the task up
  std::string Agent;    // "HOST:PORT" of the agent that answered; empty when none did
};

struct TGridProgress {
  uint64_t Submitted = 0;
  uint64_t Done = 0;    // answered with an output
  uint64_t Failed = 0;  // answered with a failure
  size_t AgentsUp = 0;  // agents with an open session
  size_t PoolThreads = 0;  // the sum of their pool sizes
  uint64_t SentTwice = 0;  // tasks sent to a second agent (SpeculateAfterSeconds)
};

// One agent's part in the run so far.
struct TAgentSummary {
  std::string Agent;          // "HOST:PORT"
  uint64_t Done = 0;          // results that are its output
  uint64_t Failed = 0;        // results that are its failure text
  uint64_t SessionsEnded = 0; // its sessions that ended other than by the grid's end
  bool Lost = false;          // lost or left out of the run: it gets no more tasks
  std::string Reason;         // when Lost: why (as the warning said)
};

class TGrid {
 public:
  // Listens on the data port (EGridError "data port 4103 is taken: ..." when
  // it cannot), then opens a session with each agent and asks its pool size.
  // An agent that cannot be reached is left out with a warning (Warnings());
  // when none can be reached, EGridError names each and why.
  explicit TGrid(TGridOptions options);
  // Ends every session (DISCONNECT) and stops serving. Tasks still
  // unanswered get no result.
  ~TGrid();
  TGrid(const TGrid&) = delete;
  TGrid& operator=(const TGrid&) = delete;

  // Files the agents may ask for (GET_FILE), by name: a task library and its
  // companions. From a path the name is the file's base name; the file is
  // read now (EGridError when it cannot be).
  // Signatures: agents with trusted keys ([agent] trusted_keys) run only
  // files signed with minisign, and ask for `<name>.minisig` first. From a
  // path, the signature `<path>.minisig` is served too when it lies beside
  // the file (as `<base name>.minisig`); a signature held in memory is added
  // like any file: AddFile("libsim.so.minisig", signatureText).
  void AddFile(const std::string& name, std::string content);
  void AddFileFromPath(const std::string& path);
  // Data blocks tasks ask for by identifier (GET_DATA). `compress` sends
  // the block in the agents' compressed-stream form.
  void AddData(const std::string& identifier, std::string content, bool compress = false);
  void AddDataFromPath(const std::string& identifier, const std::string& path, bool compress = false);

  // Called once per task with its result, on a grid thread. Set it before
  // the first Submit; tasks submitted with a callback of their own (below)
  // get only that one.
  void OnResult(std::function<void(const TTaskResult&)> callback);

  // Queues a task: `libraryFiles` names the library first, then its
  // companions (each served by AddFile); `input` is the task's input,
  // compressed on the way when `compress`. Answers the task's index
  // (0, 1, 2, ... in submission order).
  uint64_t Submit(const std::vector<std::string>& libraryFiles, const std::string& procedure, std::string input,
                  bool compress = false);
  // The same, with the result delivered through the future.
  std::future<TTaskResult> SubmitAsync(const std::vector<std::string>& libraryFiles, const std::string& procedure,
                                       std::string input, bool compress = false);
  // The same, with the result handed to `onResult` alone (on a grid thread,
  // as OnResult's callback is), which may keep its parts without a copy
  // (move from it).
  uint64_t Submit(const std::vector<std::string>& libraryFiles, const std::string& procedure, std::string input,
                  bool compress, std::function<void(TTaskResult&&)> onResult);

  // Waits until fewer than `maxUnanswered` tasks are submitted and without
  // their result yet (the result handed over), so that a program feeding
  // the grid from a long or endless source holds only so many at once:
  // true, or false when `timeoutMs` (negative: no limit) passed first or no
  // agent is left (Submit would throw). Not from a result callback: the
  // results it waits for are handed over on that thread.
  bool WaitForRoom(uint64_t maxUnanswered, int timeoutMs = -1);
  // Submits the inputs `next` hands out while it answers true, each asked
  // for only once fewer than `maxUnanswered` tasks are unanswered, so that
  // the inputs are never all in memory. Answers how many were submitted;
  // stops early when no agent is left (those submitted get their results as
  // ever). Returns when `next` has no more, without waiting for the last
  // results (WaitAll does). Not from a result callback.
  //
  //   grid.SubmitAll({"libsim.so"}, "Simulate", [&](std::string& input) {
  //     return static_cast<bool>(std::getline(cases, input));
  //   }, 10000);
  //   grid.WaitAll();
  uint64_t SubmitAll(const std::vector<std::string>& libraryFiles, const std::string& procedure,
                     const std::function<bool(std::string& input)>& next, uint64_t maxUnanswered,
                     bool compress = false);

  // Waits until every task submitted has its result: true, or false when
  // `timeoutMs` (negative: no limit) passed first or no agent is left (the
  // tasks still unanswered then fail with "no agent left: ...").
  bool WaitAll(int timeoutMs = -1);

  TGridProgress Progress() const;
  // One per agent, in the order of TGridOptions::Agents.
  std::vector<TAgentSummary> AgentSummaries() const;
  // What went wrong without stopping the grid (an agent unreachable, lost
  // or left out), oldest first.
  std::vector<std::string> Warnings() const;

 private:
  class TImpl;
  std::unique_ptr<TImpl> Impl;
};

}  // namespace kelvra
