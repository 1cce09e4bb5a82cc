// kelvra-submit: runs one task procedure of a task library over many inputs
// on kelvra agents (or on a private agent started here with --local) and
// writes the results. Exit status: 0 when every task succeeded, 1 when any
// failed, 2 on a usage error or when the grid could not start.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Monitor/AgentsJson.h"
#include "Platform/ProcessSetup.h"
#include "Platform/T_ChildProcess.h"
#include "Platform/T_Platform.h"
#include "Platform/T_ShutdownSignals.h"
#include "Submit/T_LocalAgent.h"
#include "Submit/T_ProgressLine.h"
#include "Submit/T_ResultSink.h"
#include "Submit/T_SubmitOptions.h"
#include "User/ServedFiles.h"
#include "kelvra/kelvra_client.h"

namespace {

constexpr int kExitFailedTasks = 1;
constexpr int kExitCannotStart = 2;
// How long a local agent may take to listen, and how often it is tried.
constexpr auto kLocalStartBound = std::chrono::seconds(30);
constexpr auto kLocalStartRetry = std::chrono::milliseconds(100);
constexpr int kRedrawMs = 200;

// The error for a run that cannot start: the reason on standard error.
class ECannotStart : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TInput {
  std::string Name;        // the file as given, or line-N
  std::string OutputName;  // the file name of its result in --output
  std::string Content;
};

std::string ReadFileOrThrow(const std::string& path, const std::string& what) {
  std::string content;
  if (TStatus read = TPlatform::Linux().Files->ReadFile(path, content); !read)
    throw ECannotStart(what + " " + path + " cannot be read: " + read.Reason());
  return content;
}

std::vector<TInput> ReadInputs(const std::vector<std::string>& names) {
  std::vector<TInput> inputs;
  for (const std::string& name : names) {
    if (name != "-") {
      const std::string base = std::filesystem::path(name).filename().string();
      inputs.push_back({name, base, ReadFileOrThrow(name, "input")});
      continue;
    }
    std::string line;
    for (size_t number = 1; std::getline(std::cin, line); ++number)
      inputs.push_back({"line-" + std::to_string(number), "line-" + std::to_string(number), line});
  }
  return inputs;
}

// One output file per input in `folder` (made when missing); two inputs
// that would write the same file are refused.
std::vector<std::string> OutputPaths(const std::vector<TInput>& inputs, const std::string& folder) {
  if (folder.empty()) return {};
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error || !std::filesystem::is_directory(folder))
    throw ECannotStart("output folder " + folder + " cannot be made: " + (error ? error.message() : "not a folder"));
  std::vector<std::string> paths;
  std::set<std::string> taken;
  for (const TInput& input : inputs) {
    if (input.OutputName.empty() || !taken.insert(input.OutputName).second)
      throw ECannotStart("inputs " + input.Name + " and another would both write " + folder + "/" +
                         input.OutputName + ": give inputs distinct file names");
    paths.push_back(folder + "/" + input.OutputName);
  }
  return paths;
}

// The agents of `given`, then the lobby of every agent the monitor at
// `monitor` lists as up and not suspended (each agent once).
std::vector<kelvra::TAgentAddress> WithMonitorAgents(std::vector<kelvra::TAgentAddress> given,
                                                     const std::string& monitor) {
  TAgentList list;
  if (TStatus fetched = FetchAgentList(monitor, list); !fetched) throw ECannotStart(fetched.Text());
  std::set<std::string> known;
  for (const kelvra::TAgentAddress& agent : given) known.insert(agent.Text());
  size_t taken = 0;
  for (const TListedAgent& agent : list.Agents) {
    if (!agent.Up || agent.Suspended) continue;
    try {
      const kelvra::TAgentAddress lobby = kelvra::TAgentAddress::Parse(agent.Lobby);
      ++taken;
      if (known.insert(lobby.Text()).second) given.push_back(lobby);
    } catch (const kelvra::EGridError& error) {
      throw ECannotStart("monitor " + monitor + " lists " + agent.Address + " with a bad lobby: " + error.what());
    }
  }
  if (taken == 0)
    throw ECannotStart("monitor " + monitor + " lists no agent that is up and not suspended (" +
                       std::to_string(list.Agents.size()) + " known)");
  return given;
}

// The grid on the agents of `options`. With a local agent, tried again
// until the agent listens (bounded) or ends.
std::unique_ptr<kelvra::TGrid> StartGrid(const kelvra::TGridOptions& options, TLocalAgent* local,
                                         TShutdownSignals& signals) {
  if (local == nullptr) return std::make_unique<kelvra::TGrid>(options);
  const auto deadline = std::chrono::steady_clock::now() + kLocalStartBound;
  for (;;) {
    if (signals.Wait(0)) return nullptr;
    try {
      return std::make_unique<kelvra::TGrid>(options);
    } catch (const kelvra::EGridError& error) {
      if (!local->Running()) throw ECannotStart(std::string("the local agent ended at start: ") + error.what());
      if (std::chrono::steady_clock::now() >= deadline)
        throw ECannotStart(std::string("the local agent does not answer on 127.0.0.1:") +
                           std::to_string(local->LobbyPort()) + " after 30 s: " + error.what());
    }
    std::this_thread::sleep_for(kLocalStartRetry);
  }
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

// A run ended by a signal: the tasks still out get no result; the exit
// status is the shell's for that signal.
int Interrupted(TShutdownSignals& signals, TLocalAgent* local) {
  std::fprintf(stderr, "kelvra-submit: stopped by signal %d\n", signals.Received());
  if (local != nullptr) local->Stop();
  return 128 + signals.Received();
}

int Run(const TSubmitOptions& options) {
  const std::vector<TInput> inputs = ReadInputs(options.Inputs);
  // From here on SIGINT, SIGTERM and SIGHUP end the run in order: the
  // sessions end and a local agent is stopped and its folder removed.
  TShutdownSignals signals;
  const std::vector<std::string> outputPaths = OutputPaths(inputs, options.OutputFolder);
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

  kelvra::TGridOptions gridOptions;
  gridOptions.Agents = options.Monitor.empty() ? options.Agents : WithMonitorAgents(options.Agents, options.Monitor);
  gridOptions.DataPort = options.DataPort;
  std::unique_ptr<TLocalAgent> local;
  if (options.Local) {
    const std::string binary =
        TLocalAgent::FindBinary(options.AgentBinary, TPlatform::Linux().System->ExecutablePath());
    if (binary.empty())
      throw ECannotStart("no kelvra-agent beside kelvra-submit or on PATH: name one with --agent-binary");
    local = std::make_unique<TLocalAgent>();
    if (TStatus started = local->Start(binary, options.DataPortGiven ? options.DataPort : 0); !started)
      throw ECannotStart("the local agent cannot start: " + started.Text());
    gridOptions.Agents = {kelvra::TAgentAddress{"127.0.0.1", local->LobbyPort()}};
    gridOptions.DataPort = local->DataPort();
    gridOptions.DataBindAddress = "127.0.0.1";
  }

  TConsole console(IsTerminal(2));
  // Made before the grid, whose thread hands it the results, and gone after.
  std::vector<std::string> names;
  for (const TInput& input : inputs) names.push_back(input.Name);
  TResultSink sink(std::move(names), outputPaths, stdout);
  int status = 0;
  try {
    std::unique_ptr<kelvra::TGrid> grid = StartGrid(gridOptions, local.get(), signals);
    if (!grid) return Interrupted(signals, local.get());
    for (const std::string& warning : grid->Warnings()) console.Line("kelvra-submit: warning: " + warning);
    size_t warningsShown = grid->Warnings().size();
    for (TServedFile& file : libraries) grid->AddFile(file.Name, std::move(file.Content));
    for (auto& [identifier, content] : blocks) grid->AddData(identifier, std::move(content), options.Compress);

    grid->OnResult([&sink](const kelvra::TTaskResult& result) { sink.Take(result); });

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
    for (const TInput& input : inputs) grid->Submit(libraryNames, options.Procedure, input.Content, options.Compress);
    bool finished = false;
    while (!finished) {
      finished = grid->WaitAll(kRedrawMs);
      if (signals.Wait(0)) {
        console.Clear();
        grid.reset();
        return Interrupted(signals, local.get());
      }
      // Results nobody can read: the run stops (as `| head` expects).
      if (const std::string failure = sink.StreamError(); !failure.empty()) {
        console.Clear();
        grid.reset();
        std::fprintf(stderr, "kelvra-submit: %s\n", failure.c_str());
        if (local) local->Stop();
        return kExitFailedTasks;
      }
      const kelvra::TGridProgress progress = grid->Progress();
      if (progress.Done + progress.Failed >= inputs.size()) finished = true;
      showNews();
      console.Progress(TProgressLine::Format(sink.Done(), sink.Failed(), inputs.size(), elapsed()));
    }
    const double seconds = elapsed();
    showNews();
    grid.reset();
    sink.FailUnanswered("no result");
    for (const std::string& line : sink.TakeFailureLines()) console.Line(line);
    console.Clear();
    std::fprintf(stderr, "%s\n", TProgressLine::Summary(sink.Done(), sink.Failed(), seconds).c_str());
    status = sink.Failed() == 0 ? 0 : kExitFailedTasks;
  } catch (const kelvra::EGridError& error) {
    console.Clear();
    if (local) local->KeepFolder();
    throw ECannotStart(error.what() + (local ? " (the local agent's log: " + local->LogPath() + ")" : std::string()));
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
