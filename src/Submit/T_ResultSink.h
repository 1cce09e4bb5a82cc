// SPDX-License-Identifier: Apache-2.0
// TResultSink: where kelvra-submit's results go, as they come. Outputs are
// written to one file each in a folder, or to one stream in input order: a
// result whose earlier inputs are still out is held back until they have
// theirs. Failures are kept as "input NAME: <text>" lines for the main
// thread to print. With a journal, an answered input gets its line there
// once its result is written (flushed to the stream, or renamed into
// place in the folder), never before. A second result for the same input
// is ignored, so no output is ever written twice.
//
// The main thread says which input each task carries (Expect) before it
// submits the task, and waits for room (WaitForRoom): the inputs expected
// and not yet written are what the run holds in memory.
//
// Threads: Take runs on the grid's thread; the other members on any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "Platform/T_Condition.h"
#include "Platform/T_Mutex.h"
#include "Submit/T_Journal.h"
#include "kelvra/kelvra_client.h"

class TResultSink {
 public:
  struct TWhere {
    std::FILE* Stream = nullptr;  // borrowed: the results in input order; null: Folder
    std::string StreamName = "standard output";  // for the error text
    uint64_t StreamOffset = 0;    // bytes in the stream before this run's
    std::string Folder;           // one file per input (when Stream is null)
    TJournal* Journal = nullptr;  // borrowed; null: none
    bool RemoveStale = false;     // an input that fails loses its file in Folder (a resumed run's)
  };

  struct TExpected {
    uint64_t Ordinal = 0;
    std::string Name;
    std::string OutputName;
    std::string Chain;  // for the journal
  };

  struct TAgentTally {
    std::string Agent;  // "HOST:PORT"; empty: failed without an agent
    uint64_t Done = 0;
    uint64_t Failed = 0;
  };

  explicit TResultSink(TWhere where);

  // Task `index` (the next index, in order) carries `input`.
  void Expect(uint64_t index, TExpected input) EXCLUDES(Mutex);
  // An input that never became a task (its file could not be read): failed
  // with `text`, without a journal line (a resumed run tries it again).
  void FailUnsent(const TExpected& input, const std::string& text) EXCLUDES(Mutex);
  void Take(const kelvra::TTaskResult& result) EXCLUDES(Mutex);
  // Fails every input expected without a result yet, with `text`, without
  // a journal line.
  void FailUnanswered(const std::string& text) EXCLUDES(Mutex);

  // Inputs expected and not yet written.
  size_t Pending() EXCLUDES(Mutex);
  // Waits at most `timeoutMs` until fewer than `most` are: true once so.
  bool WaitForRoom(size_t most, int timeoutMs) EXCLUDES(Mutex);

  // The failure lines not taken yet.
  std::vector<std::string> TakeFailureLines() EXCLUDES(Mutex);
  // Why results or journal lines could not be written, empty while they
  // could. Nothing is written after such a failure.
  std::string WriteError() EXCLUDES(Mutex);
  uint64_t Done() EXCLUDES(Mutex);
  uint64_t Failed() EXCLUDES(Mutex);
  // Done and failed per agent, by agent.
  std::vector<TAgentTally> PerAgent() EXCLUDES(Mutex);

 private:
  struct TEntry {
    TExpected Input;
    bool Answered = false;
    bool Ok = false;
    bool Recorded = false;  // gets a journal line
    std::string Agent;
    std::string Output;     // held until written
    uint64_t End = 0;       // the stream's length once it was written
  };

  void FailLocked(std::map<uint64_t, TEntry>::iterator entry, const std::string& text, bool recorded,
                  const std::string& agent) REQUIRES(Mutex);
  // Writes the outputs of the stream that are next in input order.
  void FlushInOrderLocked() REQUIRES(Mutex);
  void RecordLocked(const TEntry& entry, bool hasEnd) REQUIRES(Mutex);
  void TallyLocked(const std::string& agent, bool ok) REQUIRES(Mutex);

  const TWhere Where;

  TMutex Mutex;
  TCondition Shrunk;  // an entry left Entries
  std::map<uint64_t, TEntry> Entries GUARDED_BY(Mutex);  // expected and not yet written, by task index
  uint64_t StreamOffset GUARDED_BY(Mutex) = 0;
  std::vector<std::string> FailureLines GUARDED_BY(Mutex);
  std::string WriteFailure GUARDED_BY(Mutex);
  uint64_t DoneCount GUARDED_BY(Mutex) = 0;
  uint64_t FailedCount GUARDED_BY(Mutex) = 0;
  std::map<std::string, TAgentTally> Tallies GUARDED_BY(Mutex);
};
