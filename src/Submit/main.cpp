// SPDX-License-Identifier: Apache-2.0
// kelvra-submit: runs one task procedure of a task library over many inputs
// on kelvra agents (or on a private agent started here with --local) and
// writes the results. Inputs are read as the grid takes them, results
// written as they come, and with a journal a stopped run goes on where it
// was. Exit status: 0 when every input has its result, 1 when any failed
// or was left unrun, 2 on a usage error, a journal of another run, or when
// the grid could not start.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "Platform/ProcessSetup.h"
#include "Platform/T_ChildProcess.h"
#include "Platform/T_LineReader.h"
#include "Platform/T_Platform.h"
#include "Platform/T_ShutdownSignals.h"
#include "Submit/T_GridStart.h"
#include "Submit/T_InputSource.h"
#include "Submit/T_Journal.h"
#include "Submit/T_LocalAgent.h"
#include "Submit/T_ProgressLine.h"
#include "Submit/T_ResultSink.h"
#include "Submit/T_SubmitOptions.h"
#include "User/ServedFiles.h"
#include "kelvra/kelvra_client.h"

namespace {

constexpr int kExitFailedTasks = 1;
constexpr int kExitCannotStart = 2;
constexpr int kRedrawMs = 200;

std::string ReadFileOrThrow(const std::string& path, const std::string& what) {
  std::string content;
  if (TStatus read = TPlatform::Linux().Files->ReadFile(path, content); !read)
    throw ECannotStart(what + " " + path + " cannot be read: " + read.Reason());
  return content;
}

// Every input file is there before the first task leaves (each is read
// only when its turn comes); with --output, no two inputs write the same
// file, and the folder is made when missing.
void CheckInputs(const TSubmitOptions& options) {
  const bool lines = std::find(options.Inputs.begin(), options.Inputs.end(), "-") != options.Inputs.end();
  std::set<std::string> taken;
  for (const std::string& name : options.Inputs) {
    if (name == "-") continue;
    std::error_code error;
    if (!std::filesystem::exists(name, error))
      throw ECannotStart("input " + name + " cannot be read: " +
                         (error ? error.message() : std::generic_category().message(ENOENT)));
    if (options.OutputFolder.empty()) continue;
    const std::string base = std::filesystem::path(name).filename().string();
    const bool lineName = base.size() > 5 && base.rfind("line-", 0) == 0 &&
                          base.find_first_not_of("0123456789", 5) == std::string::npos;
    if (base.empty() || !taken.insert(base).second || (lines && lineName))
      throw ECannotStart("inputs " + name + " and another would both write " + options.OutputFolder + "/" + base +
                         ": give inputs distinct file names");
  }
  if (options.OutputFolder.empty()) return;
  std::error_code error;
  std::filesystem::create_directories(options.OutputFolder, error);
  if (error || !std::filesystem::is_directory(options.OutputFolder))
    throw ECannotStart("output folder " + options.OutputFolder +
                       " cannot be made: " + (error ? error.message() : "not a folder"));
}

// The output file of a run: new (emptied) for a new run; for a resumed
// one, cut back to the end its journal recorded last, so that the results
// written after the last journal line (the run was killed before it) are
// not there twice.
std::FILE* OpenOutputFile(const std::string& path, const TJournal* resumed) {
  std::FILE* file = nullptr;
  if (resumed == nullptr) {
    file = std::fopen(path.c_str(), "we");
  } else {
    const uint64_t end = resumed->OutputEnd();
    std::error_code error;
    const bool exists = std::filesystem::exists(path, error);
    const uintmax_t size = exists ? std::filesystem::file_size(path, error) : 0;
    if (error) throw ECannotStart("output file " + path + " cannot be read: " + error.message());
    if (size < end)
      throw ECannotStart("output file " + path + " holds " + std::to_string(size) + " bytes, but the journal records " +
                         std::to_string(end) + " written: it is not the file of the run to resume");
    if (exists) std::filesystem::resize_file(path, end, error);
    if (error) throw ECannotStart("output file " + path + " cannot be cut back: " + error.message());
    file = std::fopen(path.c_str(), "ae");
  }
  if (file == nullptr)
    throw ECannotStart("output file " + path + " cannot be written: " + std::generic_category().message(errno));
  return file;
}

class TConsole {
 public:
  explicit TConsole(bool terminal) : Terminal(terminal) {}
  void Line(const std::string& text) {
    Clear();
    std::fprintf(stderr, "%s\n", text.c_str());
  }
  void Progress(const std::string& text) {
    if (!Terminal) return;
    std::fprintf(stderr, "\r%s\x1b[K", text.c_str());
    Drawn = true;
  }
  void Clear() {
    if (Drawn) std::fputs("\r\x1b[K", stderr);
    Drawn = false;
  }

 private:
  const bool Terminal;
  bool Drawn = false;
};

// Reads the inputs and submits them as the sink has room, skipping those
// the journal records as answered. One owner: the main thread.
class TFeeder {
 public:
  TFeeder(const TSubmitOptions& options, std::vector<std::string> libraryNames, TInputSource& source,
          TResultSink& sink, const TJournal* journal, kelvra::TGrid& grid)
      : Options(options),
        LibraryNames(std::move(libraryNames)),
        Source(source),
        Sink(sink),
        Journal(journal),
        Grid(grid) {}

  // Sends inputs until the sink is full, standard input has nothing more
  // within `budgetMs` (or `wakeFd` is readable), the inputs end, or
  // `budgetMs` has passed.
  void Feed(int budgetMs, int wakeFd) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMs);
    while (!Stopped && Sink.Pending() < Options.MaxPending) {
      const auto now = std::chrono::steady_clock::now();
      const int left =
          now >= until ? 0 : static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count());
      TInput input;
      const TInputSource::TNext next = Source.Next(input, left, wakeFd);
      if (next == TInputSource::TNext::Waiting) return;
      if (next == TInputSource::TNext::End) {
        Finish();
        return;
      }
      if (!Skip(input)) Send(input);
      if (std::chrono::steady_clock::now() >= until) return;
    }
  }

  // No more inputs will be sent: all were, or no agent is left, or the
  // journal turned out to be another run's, or standard input failed.
  bool Stopped = false;
  uint64_t SkippedDone = 0;
  uint64_t SkippedFailed = 0;
  std::string NotRun;   // why the inputs after the last one sent were not run
  std::string Refusal;  // the journal is another run's

 private:
  // Whether the journal records `input` as answered; checks that it is
  // the input the journal recorded.
  bool Skip(const TInput& input) {
    if (Journal == nullptr) return false;
    Chain = TJournal::Chain(Chain, input.Name, input.FromFile ? std::string_view() : input.Content);
    if (!Journal->Agrees(input.Ordinal, Chain)) {
      Refusal = "journal " + Options.Journal + " belongs to another run: it records input " +
                std::to_string(input.Ordinal) + " (" + input.Name +
                ") or one before it with another name or line than given now";
      Stopped = true;
      return true;
    }
    switch (Journal->StateOf(input.Ordinal)) {
      case TJournal::TState::Done:
        ++SkippedDone;
        return true;
      case TJournal::TState::Failed:
        if (Options.RetryFailed) return false;
        ++SkippedFailed;
        return true;
      case TJournal::TState::None:
        return false;
    }
    return false;
  }

  void Send(TInput& input) {
    TResultSink::TExpected expected{input.Ordinal, input.Name, input.OutputName, Chain};
    if (std::string unreadable = TInputSource::ReadContent(input); !unreadable.empty()) {
      Sink.FailUnsent(expected, "cannot be read: " + unreadable);
      return;
    }
    Sink.Expect(NextIndex, std::move(expected));
    try {
      Grid.Submit(LibraryNames, Options.Procedure, std::move(input.Content), Options.Compress);
    } catch (const kelvra::EGridError& error) {
      // The files were checked before: no agent is left.
      kelvra::TTaskResult failed;
      failed.Index = NextIndex;
      failed.Failure = error.what();
      Sink.Take(failed);
      NotRun = std::string(error.what()) + ": the inputs after " + input.Name + " were not run";
      Stopped = true;
      return;
    }
    ++NextIndex;
  }

  void Finish() {
    Stopped = true;
    if (const std::string failure = Source.Failure(); !failure.empty())
      NotRun = "standard input cannot be read: " + failure;
    if (Journal != nullptr && Journal->LastOrdinal() > Source.Count())
      Refusal = "journal " + Options.Journal + " belongs to another run: it records input " +
                std::to_string(Journal->LastOrdinal()) + ", but there are only " + std::to_string(Source.Count()) +
                " inputs";
  }

  const TSubmitOptions& Options;
  const std::vector<std::string> LibraryNames;
  TInputSource& Source;
  TResultSink& Sink;
  const TJournal* const Journal;  // borrowed; null: none
  kelvra::TGrid& Grid;
  std::string Chain;       // of the last input read
  uint64_t NextIndex = 0;  // the index the next task submitted gets
};

// A run ended by a signal: the tasks still out get no result; the exit
// status is the shell's for that signal.
int Interrupted(TShutdownSignals& signals, TLocalAgent* local) {
  std::fprintf(stderr, "kelvra-submit: stopped by signal %d\n", signals.Received());
  if (local != nullptr) local->Stop();
  return 128 + signals.Received();
}

// What makes a later run the same run, for the journal.
TRunIdentity IdentityOf(const TSubmitOptions& options, const std::vector<TServedFile>& libraries,
                        const std::vector<std::pair<std::string, std::string>>& blocks) {
  TRunIdentity run;
  run.Procedure = options.Procedure;
  std::vector<std::pair<std::string, std::string>> files;
  // A signature may be made again without changing what runs.
  for (const TServedFile& file : libraries)
    if (!file.Name.ends_with(".minisig")) files.emplace_back(file.Name, file.Content);
  run.Library = TJournal::Hash(files);
  run.Data = TJournal::Hash(blocks);
  std::vector<std::pair<std::string, std::string>> inputs;
  for (const std::string& input : options.Inputs) inputs.emplace_back("input", input);
  run.Inputs = TJournal::Hash(inputs);
  run.Output = options.OutputFolder.empty() ? "file" : "folder";
  return run;
}

// One line per agent that answered, with why it was left out or lost when
// it was; then the agents that answered nothing but were lost.
void PrintAgentLines(const std::vector<TResultSink::TAgentTally>& tallies,
                     const std::vector<kelvra::TAgentSummary>& agents) {
  const auto why = [&agents](const std::string& agent) -> std::string {
    for (const kelvra::TAgentSummary& summary : agents)
      if (summary.Agent == agent && summary.Lost) return " (" + summary.Reason + ")";
    return "";
  };
  std::set<std::string> printed;
  for (const TResultSink::TAgentTally& tally : tallies) {
    std::fprintf(stderr, "%s%s\n", TProgressLine::AgentLine(tally.Agent, tally.Done, tally.Failed).c_str(),
                 why(tally.Agent).c_str());
    printed.insert(tally.Agent);
  }
  for (const kelvra::TAgentSummary& summary : agents)
    if (summary.Lost && printed.count(summary.Agent) == 0)
      std::fprintf(stderr, "%s (%s)\n", TProgressLine::AgentLine(summary.Agent, 0, 0).c_str(), summary.Reason.c_str());
}

int Run(const TSubmitOptions& options) {
  // From here on SIGINT, SIGTERM and SIGHUP end the run in order: the
  // sessions end and a local agent is stopped and its folder removed.
  TShutdownSignals signals;
  CheckInputs(options);
  // Each library file, and its signature when one lies beside it.
  std::vector<TServedFile> libraries;
  std::vector<std::string> libraryNames;
  for (const std::string& path : options.LibraryPaths) {
    const size_t first = libraries.size();
    if (TStatus read = ReadServedFiles(*TPlatform::Linux().Files, path, libraries); !read)
      throw ECannotStart((read.Context() == path ? "library file " : "signature ") + read.Context() +
                         " cannot be read: " + read.Reason());
    libraryNames.push_back(libraries[first].Name);
  }
  std::vector<std::pair<std::string, std::string>> blocks;  // identifier, content
  for (const auto& [identifier, path] : options.Data) blocks.emplace_back(identifier, ReadFileOrThrow(path, "data file"));

  std::unique_ptr<TJournal> journal;
  if (!options.Journal.empty()) {
    journal = std::make_unique<TJournal>();
    if (std::string refusal = journal->Open(options.Journal, IdentityOf(options, libraries, blocks), options.Resume);
        !refusal.empty())
      throw ECannotStart(refusal);
  }
  TResultSink::TWhere where;
  where.Journal = journal.get();
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> outputFile(nullptr, std::fclose);
  if (!options.OutputFolder.empty()) {
    where.Folder = options.OutputFolder;
    where.RemoveStale = options.Resume;
  } else if (!options.OutputFile.empty()) {
    outputFile.reset(OpenOutputFile(options.OutputFile, options.Resume ? journal.get() : nullptr));
    where.Stream = outputFile.get();
    where.StreamName = "output file " + options.OutputFile;
    where.StreamOffset = options.Resume ? journal->OutputEnd() : 0;
  } else {
    where.Stream = stdout;
  }

  kelvra::TGridOptions gridOptions;
  gridOptions.Agents = options.Monitor.empty() ? options.Agents : WithMonitorAgents(options.Agents, options.Monitor);
  gridOptions.DataPort = options.DataPort;
  gridOptions.MaxAttempts = options.MaxAttempts;
  gridOptions.SpeculateAfterSeconds = options.SpeculateAfterSeconds;
  std::unique_ptr<TLocalAgent> local;
  if (options.Local) {
    local = StartLocalAgent(TLocalAgent::FindBinary(options.AgentBinary, TPlatform::Linux().System->ExecutablePath()),
                            "no kelvra-agent beside kelvra-submit or on PATH: name one with --agent-binary",
                            options.DataPortGiven ? options.DataPort : 0, gridOptions);
  }

  TConsole console(IsTerminal(2));
  // Made before the grid, whose thread hands it the results, and gone after.
  TResultSink sink(where);
  int status = 0;
  try {
    std::unique_ptr<kelvra::TGrid> grid = StartGrid(gridOptions, local.get(), [&signals] { return signals.Wait(0); });
    if (!grid) return Interrupted(signals, local.get());
    for (const std::string& warning : grid->Warnings()) console.Line("kelvra-submit: warning: " + warning);
    size_t warningsShown = grid->Warnings().size();
    for (TServedFile& file : libraries) grid->AddFile(file.Name, std::move(file.Content));
    for (auto& [identifier, content] : blocks) grid->AddData(identifier, std::move(content), options.Compress);

    grid->OnResult([&sink](const kelvra::TTaskResult& result) { sink.Take(result); });

    TLineReader standardInput(0);
    TInputSource source(options.Inputs, standardInput);
    TFeeder feeder(options, libraryNames, source, sink, journal.get(), *grid);
    const auto start = std::chrono::steady_clock::now();
    const auto elapsed = [&] {
      return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    const auto showNews = [&] {
      for (const std::string& line : sink.TakeFailureLines()) console.Line(line);
      const std::vector<std::string> warnings = grid->Warnings();
      for (; warningsShown < warnings.size(); ++warningsShown)
        console.Line("kelvra-submit: warning: " + warnings[warningsShown]);
    };
    for (;;) {
      if (signals.Wait(0)) {
        console.Clear();
        grid.reset();
        return Interrupted(signals, local.get());
      }
      if (!feeder.Stopped) feeder.Feed(kRedrawMs, signals.WakeDescriptor());
      // Results nobody can read: the run stops (as `| head` expects).
      if (const std::string failure = sink.WriteError(); !failure.empty()) {
        console.Clear();
        grid.reset();
        std::fprintf(stderr, "kelvra-submit: %s\n", failure.c_str());
        if (local) local->Stop();
        return kExitFailedTasks;
      }
      showNews();
      const uint64_t skipped = feeder.SkippedDone + feeder.SkippedFailed;
      console.Progress(TProgressLine::Format(sink.Done(), sink.Failed(), source.Count() - skipped,
                                             source.TotalKnown(), elapsed()));
      if (feeder.Stopped && sink.Pending() == 0) break;
      // Once full, inputs are read again in a batch, not one per result.
      if (feeder.Stopped || sink.Pending() >= options.MaxPending)
        sink.WaitForRoom(feeder.Stopped ? 1 : options.MaxPending - options.MaxPending / 8, kRedrawMs);
    }
    const double seconds = elapsed();
    showNews();
    const std::vector<kelvra::TAgentSummary> agents = grid->AgentSummaries();
    const uint64_t sentTwice = grid->Progress().SentTwice;
    grid.reset();
    sink.FailUnanswered("no result");
    for (const std::string& line : sink.TakeFailureLines()) console.Line(line);
    console.Clear();
    std::fprintf(stderr, "%s\n", TProgressLine::Summary(sink.Done(), sink.Failed(), seconds).c_str());
    PrintAgentLines(sink.PerAgent(), agents);
    if (sentTwice > 0)
      std::fprintf(stderr, "%llu tasks were sent to a second agent (--speculate-after)\n",
                   static_cast<unsigned long long>(sentTwice));
    if (options.Resume)
      std::fprintf(stderr,
                   "resumed from %s: %llu inputs done before, %llu failed before%s\n", options.Journal.c_str(),
                   static_cast<unsigned long long>(journal->DoneBefore()),
                   static_cast<unsigned long long>(journal->FailedBefore()),
                   options.RetryFailed || journal->FailedBefore() == 0 ? ""
                                                                       : " (not run again: --retry-failed runs them)");
    if (!feeder.NotRun.empty()) std::fprintf(stderr, "kelvra-submit: %s\n", feeder.NotRun.c_str());
    status = sink.Failed() == 0 && feeder.SkippedFailed == 0 && feeder.NotRun.empty() ? 0 : kExitFailedTasks;
    if (const std::string failure = sink.WriteError(); !failure.empty()) {
      std::fprintf(stderr, "kelvra-submit: %s\n", failure.c_str());
      status = kExitFailedTasks;
    }
    if (!feeder.Refusal.empty()) {
      std::fprintf(stderr, "kelvra-submit: %s\n", feeder.Refusal.c_str());
      status = kExitCannotStart;
    }
  } catch (const kelvra::EGridError& error) {
    console.Clear();
    if (local) local->KeepFolder();
    throw ECannotStart(error.what() + (local ? " (the local agent's log: " + local->LogPath() + ")" : std::string()));
  }
  if (outputFile && std::fclose(outputFile.release()) != 0) {
    std::fprintf(stderr, "kelvra-submit: output file %s cannot be written: %s\n", options.OutputFile.c_str(),
                 std::generic_category().message(errno).c_str());
    status = kExitFailedTasks;
  }
  if (local) {
    local->Stop();
    if (status != 0) {
      local->KeepFolder();
      std::fprintf(stderr, "kelvra-submit: the local agent's log: %s\n", local->LogPath().c_str());
    }
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // Standard output closed by its reader fails a write instead of ending
  // the process (a local agent must still be stopped).
  IgnoreBrokenPipe();
  TSubmitOptions options;
  const std::string usageError = options.Parse(std::vector<std::string>(argv + 1, argv + argc));
  if (!usageError.empty()) {
    std::fprintf(stderr, "kelvra-submit: %s\nTry kelvra-submit --help.\n", usageError.c_str());
    return kExitCannotStart;
  }
  if (options.Help) {
    std::fputs(TSubmitOptions::HelpText(), stdout);
    return 0;
  }
  if (options.Version) {
    std::printf("kelvra-submit %s\n", KELVRA_VERSION);
    return 0;
  }
  try {
    return Run(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kelvra-submit: %s\n", error.what());
    return kExitCannotStart;
  }
}
