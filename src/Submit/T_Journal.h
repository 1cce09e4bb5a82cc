// SPDX-License-Identifier: Apache-2.0
// TJournal: the record of a run of kelvra-submit, so that a run stopped at
// any moment (SIGKILL too) goes on where it was (--resume). A text file:
//
//   kelvra-submit journal 1 procedure=Simulate library=... data=... inputs=... output=file
//   start 2026-12-08T10:15:46Z
//   17 done 2026-12-08T10:15:47Z 127.0.0.1:4102 3f2a1b0c9d8e7f60 1024 line-17
//
// The header says what makes a later run the same run (the procedure, the
// library files, the data blocks, the INPUT arguments, where the results
// go); a "start" line begins what each run answered: one line per input:
// its number (from 1, over all inputs), done or failed, the time (UTC),
// the agent ("-": none), its chain, the end of --output-file after its
// result ("-" for --output DIR), and its name. An input's chain is a hash of
// its name and line and of every earlier input's (Chain()): a resumed run
// that reads other inputs than those recorded finds out before it sends
// any input that comes after a recorded one.
//
// Each line is written whole and flushed to the system before the next
// result is written, so a killed process leaves at most its last line cut
// short, which the next run cuts off. In memory only runs of consecutive
// inputs in one state are kept, with the chain at the end of each: a
// journal of millions of lines costs a few entries.
//
// Threads: one owner; its user serialises the calls.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/T_Status.h"

// What makes two runs of kelvra-submit one run, each a hash (Hash()).
struct TRunIdentity {
  std::string Procedure;
  std::string Library;  // the library and its companions, with their names
  std::string Data;     // the data blocks, with their identifiers
  std::string Inputs;   // the INPUT arguments
  std::string Output;   // "file" (results in one stream) or "folder"
};

class TJournal {
 public:
  enum class TState : uint8_t { None, Done, Failed };

  struct TRecord {
    uint64_t Ordinal = 0;
    bool Done = false;
    std::string Agent;  // empty: none
    std::string Chain;
    bool HasEnd = false;  // results in one file: End follows
    uint64_t End = 0;
    std::string Name;
  };

  TJournal() = default;
  TJournal(const TJournal&) = delete;
  TJournal& operator=(const TJournal&) = delete;
  ~TJournal();

  // A short hash of named contents (names and contents both count).
  static std::string Hash(const std::vector<std::pair<std::string, std::string>>& named);
  // The chain of an input named `name` with `line` (empty for a file)
  // after the chain `previous` of the input before it ("" for the first).
  static std::string Chain(std::string_view previous, std::string_view name, std::string_view line);

  // Opens `path` for a new run (refused when a journal with lines is there)
  // or, with `resume`, reads the run it records and goes on with it
  // (refused when missing or written for another run). Answers the
  // refusal, a text for the user; empty once open.
  std::string Open(const std::string& path, const TRunIdentity& run, bool resume);

  // What the journal recorded for input `ordinal` when opened (the last
  // line of it counts).
  TState StateOf(uint64_t ordinal) const;
  // False when the journal recorded another chain for input `ordinal`: the
  // inputs are not those of its run.
  bool Agrees(uint64_t ordinal, std::string_view chain) const;
  // The highest input number recorded, 0 for none.
  uint64_t LastOrdinal() const;
  uint64_t DoneBefore() const { return CountOf(TState::Done); }
  uint64_t FailedBefore() const { return CountOf(TState::Failed); }
  // The end of the output file recorded last (0 when none is).
  uint64_t OutputEnd() const { return RecordedEnd; }

  // Writes the line of `record` and flushes it to the system.
  TStatus Append(const TRecord& record);

  // Records `state` for `ordinal` in memory as a line read does; false when
  // the journal holds another chain for it. For the reading and the tests.
  bool Note(uint64_t ordinal, TState state, const std::string& chain);

 private:
  // Consecutive inputs `first` (the key) to Last in one state.
  struct TRun {
    uint64_t Last = 0;
    TState State = TState::None;
    std::string Chain;  // of Last; empty when not known (another run follows at once)
  };

  std::string Load(const std::string& path, const TRunIdentity& run);
  TStatus WriteLine(const std::string& line);
  uint64_t CountOf(TState state) const;

  std::string Path;
  std::FILE* File = nullptr;  // owned; open for appending once Open succeeded
  bool Started = false;       // this run's "start" line is written
  std::map<uint64_t, TRun> Runs;
  uint64_t RecordedEnd = 0;
};
