// SPDX-License-Identifier: Apache-2.0
#include "Submit/T_SubmitOptions.h"

#include <algorithm>
#include <charconv>
#include <iterator>

#include "Common/HostPort.h"
#include "Monitor/AgentsJson.h"

namespace {

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> parts;
  for (size_t start = 0;;) {
    const size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) return parts;
    start = comma + 1;
  }
}

// A whole number from `least` to `most`.
template <typename T>
bool ParseWhole(const std::string& text, T least, T most, T& value) {
  T parsed{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (error != std::errc() || end != text.data() + text.size() || parsed < least || parsed > most) return false;
  value = parsed;
  return true;
}

}  // namespace

const char* TSubmitOptions::HelpText() {
  return "Usage: kelvra-submit (--agent HOST[:PORT] ... | --monitor HOST[:PORT] | --local)\n"
         "                     --library LIB.so[,COMPANION.so...]\n"
         "                     --procedure NAME [--data ID=FILE ...] [--compress]\n"
         "                     [--output DIR | --output-file FILE]\n"
         "                     [--journal FILE [--resume [--retry-failed]]]\n"
         "                     [--max-pending N] [--max-attempts N] [--speculate-after S]\n"
         "                     [--data-port PORT] INPUT...\n"
         "\n"
         "Runs the task procedure NAME of a task library once per input on kelvra agents\n"
         "and collects the results.\n"
         "\n"
         "  --agent HOST[:PORT]  an agent to run tasks on (lobby port 4102 unless given);\n"
         "                       repeat for more agents\n"
         "  --monitor HOST[:PORT]\n"
         "                       run on every agent that the kelvra-monitor at HOST (port\n"
         "                       4106 unless given) lists as up and not suspended; may be\n"
         "                       combined with --agent\n"
         "  --local              start a private agent on this machine (loopback only, free\n"
         "                       ports, private folders), run the tasks on it, stop it\n"
         "  --agent-binary PATH  with --local: the agent to start (default: the kelvra-agent\n"
         "                       beside kelvra-submit, else the one on PATH)\n"
         "  --library LIST       the task library, then its companion libraries, comma-separated;\n"
         "                       the agents fetch each by its file name\n"
         "                       (and its signature FILE.minisig, when one lies beside it)\n"
         "  --procedure NAME     the task procedure to call\n"
         "  --data ID=FILE       a data block the tasks may fetch by identifier ID; repeatable\n"
         "  --compress           send inputs and data blocks compressed\n"
         "  --output DIR         write each result to DIR/<input file name> (DIR/line-N for the\n"
         "                       N-th line of standard input, from 1) instead of standard output\n"
         "  --output-file FILE   write the results to FILE in the order of the inputs instead\n"
         "                       of standard output\n"
         "  --journal FILE       append a line to FILE for each input answered (its number\n"
         "                       and name, done or failed, the agent, the time), as it comes;\n"
         "                       needs --output or --output-file. A new run refuses a journal\n"
         "                       that already has lines\n"
         "  --resume             go on with the run FILE records: inputs recorded as done are\n"
         "                       skipped, and so are those that failed unless --retry-failed;\n"
         "                       a journal of other inputs, library files, data blocks or\n"
         "                       procedure is refused. With --output-file, what the run wrote\n"
         "                       after its last journal line is cut off first, so that every\n"
         "                       result is in the file exactly once\n"
         "  --retry-failed       with --resume: run the inputs recorded as failed again\n"
         "  --max-pending N      read at most N inputs ahead of the results written (default\n"
         "                       10000): the tasks out on the agents plus the results held\n"
         "                       back until every earlier input has its result. Memory holds\n"
         "                       that many inputs and results; a slow input holds back at\n"
         "                       most N-1 results, and then reading new inputs waits for it\n"
         "  --max-attempts N     a task whose session ends abnormally while it runs (the agent\n"
         "                       died, or the task ended its session) is tried at most N times\n"
         "                       in all (default 3), then fails with \"given up after N attempts\"\n"
         "  --speculate-after S  a task unanswered S seconds after it started is also sent to\n"
         "                       an agent with a free place when nothing else waits; the first\n"
         "                       answer counts (default: never)\n"
         "  --data-port PORT     the port the agents connect back to, their [user] data_port\n"
         "                       (default 4103; with --local a free one)\n"
         "  --help, --version\n"
         "\n"
         "Each INPUT is a file whose content is one task's input, or - for standard input,\n"
         "each line of which (without its line feed) is one task's input. Inputs are read\n"
         "as the agents take them: a run of millions of lines needs memory only for\n"
         "--max-pending of them.\n"
         "Without --output the results go to standard output (or --output-file) in the order\n"
         "of the inputs, each followed by a line feed unless it ends with one, as soon as\n"
         "every earlier input has its result. Failed tasks are listed on standard error as\n"
         "\"input NAME: <the agent's text>\"; a summary ends the run (done, failed, tasks/s,\n"
         "and done and failed per agent); on a terminal a progress line shows done, failed,\n"
         "tasks/s and the time left.\n"
         "\n"
         "Exit status: 0 when every input has its result, 1 when any failed (in this run, or\n"
         "recorded as failed by the journal and not retried) or no agent was left to run\n"
         "the rest, 2 on a usage error, a journal refused, or when the grid could not start\n"
         "(agent unreachable, data port taken, file missing, monitor unreachable or listing\n"
         "no agent to run on).\n"
         "\n"
         "Examples:\n"
         "  # try a library on this machine: one task per seed, results on standard output\n"
         "  seq 1 100 | kelvra-submit --local --library ./libmontecarlo.so --procedure Estimate -\n"
         "\n"
         "  # two agents, one task per file, one result file per input in results/\n"
         "  kelvra-submit --agent 10.0.0.5 --agent 10.0.0.6:4102 --library libsim.so,libsimcore.so \\\n"
         "      --procedure Simulate --output results/ cases/*.txt\n"
         "\n"
         "  # every agent that reports to the monitor on 10.0.0.2 and is free to work\n"
         "  kelvra-submit --monitor 10.0.0.2 --library libsim.so --procedure Simulate cases/*.txt\n"
         "\n"
         "  # data blocks the tasks fetch by name, sent compressed\n"
         "  kelvra-submit --agent 10.0.0.5 --library libwords.so --procedure CountWords \\\n"
         "      --data book1=book1.txt --data book2=book2.txt --compress queries.txt\n"
         "\n"
         "  # a long sweep with a journal; after a stop, the same line with --resume goes on\n"
         "  seq 1 5000000 | kelvra-submit --monitor 10.0.0.2 --library libsim.so \\\n"
         "      --procedure Simulate --output-file sweep.out --journal sweep.journal -\n"
         "  seq 1 5000000 | kelvra-submit --monitor 10.0.0.2 --library libsim.so \\\n"
         "      --procedure Simulate --output-file sweep.out --journal sweep.journal --resume -\n";
}

std::string TSubmitOptions::Parse(const std::vector<std::string>& arguments) {
  bool inputsOnly = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    std::string argument = arguments[i];
    if (inputsOnly || argument == "-" || argument.empty() || argument[0] != '-') {
      Inputs.push_back(argument);
      continue;
    }
    if (argument == "--") {
      inputsOnly = true;
      continue;
    }
    if (argument == "--help" || argument == "-h") {
      Help = true;
      return "";
    }
    if (argument == "--version") {
      Version = true;
      return "";
    }
    static const std::pair<const char*, bool TSubmitOptions::*> kSwitches[] = {
        {"--local", &TSubmitOptions::Local},
        {"--compress", &TSubmitOptions::Compress},
        {"--resume", &TSubmitOptions::Resume},
        {"--retry-failed", &TSubmitOptions::RetryFailed}};
    const auto isSwitch = std::find_if(std::begin(kSwitches), std::end(kSwitches),
                                       [&](const auto& entry) { return argument == entry.first; });
    if (isSwitch != std::end(kSwitches)) {
      this->*(isSwitch->second) = true;
      continue;
    }
    // Every other option takes a value: "--name VALUE" or "--name=VALUE".
    std::string value;
    const size_t equals = argument.find('=');
    if (equals != std::string::npos) {
      value = argument.substr(equals + 1);
      argument.resize(equals);
    } else if (i + 1 < arguments.size()) {
      value = arguments[++i];
    } else {
      static const char* const kTakingValues[] = {
          "--agent",       "--library", "--procedure",    "--data",         "--output",         "--output-file",
          "--data-port",   "--monitor", "--agent-binary", "--journal",      "--max-pending",    "--max-attempts",
          "--speculate-after"};
      for (const char* name : kTakingValues)
        if (argument == name) return argument + " needs a value";
      return "unknown option " + argument;
    }
    if (argument == "--agent") {
      try {
        Agents.push_back(kelvra::TAgentAddress::Parse(value));
      } catch (const kelvra::EGridError& error) {
        return "bad --agent " + value + ": " + error.what();
      }
    } else if (argument == "--monitor") {
      THostPort monitor;
      if (TStatus read = ParseHostPort(value, kDefaultMonitorPort, monitor); !read)
        return "bad --monitor " + value + ": the address " + read.Reason();
      Monitor = value;
    } else if (argument == "--library") {
      for (const std::string& path : SplitList(value)) {
        if (path.empty()) return "bad --library " + value + ": an empty file name";
        LibraryPaths.push_back(path);
      }
    } else if (argument == "--procedure") {
      if (value.empty()) return "--procedure needs a name";
      Procedure = value;
    } else if (argument == "--data") {
      const size_t split = value.find('=');
      if (split == std::string::npos || split == 0 || split + 1 == value.size())
        return "bad --data " + value + ": expected ID=FILE";
      Data.emplace_back(value.substr(0, split), value.substr(split + 1));
    } else if (argument == "--output") {
      if (value.empty()) return "--output needs a folder";
      OutputFolder = value;
    } else if (argument == "--output-file") {
      if (value.empty()) return "--output-file needs a file";
      OutputFile = value;
    } else if (argument == "--journal") {
      if (value.empty()) return "--journal needs a file";
      Journal = value;
    } else if (argument == "--max-pending") {
      if (!ParseWhole<size_t>(value, 1, 100000000, MaxPending))
        return "bad --max-pending " + value + ": expected a number from 1 to 100000000";
    } else if (argument == "--max-attempts") {
      if (!ParseWhole(value, 1, 1000, MaxAttempts))
        return "bad --max-attempts " + value + ": expected a number from 1 to 1000";
    } else if (argument == "--speculate-after") {
      double seconds = 0;
      const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
      if (error != std::errc() || end != value.data() + value.size() || !(seconds > 0) || seconds > 1e6)
        return "bad --speculate-after " + value + ": expected seconds, more than 0";
      SpeculateAfterSeconds = seconds;
    } else if (argument == "--data-port") {
      if (!ParsePort(value, DataPort)) return "bad --data-port " + value + ": expected a port from 1 to 65535";
      DataPortGiven = true;
    } else if (argument == "--agent-binary") {
      if (value.empty()) return "--agent-binary needs a path";
      AgentBinary = value;
    } else {
      return "unknown option " + argument;
    }
  }
  if (Local && !Agents.empty()) return "--local and --agent exclude each other";
  if (Local && !Monitor.empty()) return "--local and --monitor exclude each other";
  if (!Local && Agents.empty() && Monitor.empty())
    return "no agent given: use --agent HOST[:PORT], --monitor HOST[:PORT] or --local";
  if (!AgentBinary.empty() && !Local) return "--agent-binary needs --local";
  if (LibraryPaths.empty()) return "no task library given: use --library LIB.so";
  if (Procedure.empty()) return "no procedure given: use --procedure NAME";
  if (Inputs.empty()) return "no input given: name input files, or - for the lines of standard input";
  if (std::count(Inputs.begin(), Inputs.end(), std::string("-")) > 1) return "standard input (-) given twice";
  if (!OutputFolder.empty() && !OutputFile.empty()) return "--output and --output-file exclude each other";
  if (!Journal.empty() && OutputFolder.empty() && OutputFile.empty())
    return "--journal needs --output DIR or --output-file FILE: results on standard output cannot be taken back "
           "when the run is resumed";
  if (Resume && Journal.empty()) return "--resume needs --journal FILE";
  if (RetryFailed && !Resume) return "--retry-failed needs --resume";
  return "";
}
