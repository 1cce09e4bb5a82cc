#include "Submit/T_SubmitOptions.h"

#include <algorithm>

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

}  // namespace

const char* TSubmitOptions::HelpText() {
  return "Usage: kelvra-submit (--agent HOST[:PORT] ... | --monitor HOST[:PORT] | --local)\n"
         "                     --library LIB.so[,COMPANION.so...]\n"
         "                     --procedure NAME [--data ID=FILE ...] [--compress] [--output DIR]\n"
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
         "  --data-port PORT     the port the agents connect back to, their [user] data_port\n"
         "                       (default 4103; with --local a free one)\n"
         "  --help, --version\n"
         "\n"
         "Each INPUT is a file whose content is one task's input, or - for standard input,\n"
         "each line of which (without its line feed) is one task's input.\n"
         "Without --output the results go to standard output in the order of the inputs,\n"
         "each followed by a line feed unless it ends with one. Failed tasks are listed on\n"
         "standard error as \"input NAME: <the agent's text>\", and a summary line ends the run;\n"
         "on a terminal a progress line shows done, failed, tasks/s and the time left.\n"
         "\n"
         "Exit status: 0 when every task succeeded, 1 when any failed, 2 on a usage error or\n"
         "when the grid could not start (agent unreachable, data port taken, file missing,\n"
         "monitor unreachable or listing no agent to run on).\n"
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
         "      --data book1=book1.txt --data book2=book2.txt --compress queries.txt\n";
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
    if (argument == "--local") {
      Local = true;
      continue;
    }
    if (argument == "--compress") {
      Compress = true;
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
      return argument == "--agent" || argument == "--library" || argument == "--procedure" || argument == "--data" ||
                     argument == "--output" || argument == "--data-port" || argument == "--agent-binary" ||
                     argument == "--monitor"
                 ? argument + " needs a value"
                 : "unknown option " + argument;
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
  return "";
}
