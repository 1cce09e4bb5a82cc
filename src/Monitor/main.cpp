// SPDX-License-Identifier: Apache-2.0
// kelvra-monitor: the side of a coordinator that agents talk to. It answers
// their discovery datagrams, takes their status reports, and shows them as
// a web page, /agents.json and /metrics. `--status HOST[:PORT]` prints the
// agents of a running monitor instead. Exit status: 0 after SIGTERM, SIGINT
// or SIGHUP (or a --status that reached its monitor), 1 when a port cannot
// be taken or the monitor cannot be reached, 2 on a usage error.

#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "Common/T_IniFile.h"
#include "Monitor/AgentsJson.h"
#include "Monitor/StatusTable.h"
#include "Monitor/T_AgentRegistry.h"
#include "Monitor/T_DiscoveryResponder.h"
#include "Monitor/T_MonitorSettings.h"
#include "Monitor/T_StatusServer.h"
#include "Monitor/T_WebServer.h"
#include "Platform/ProcessSetup.h"
#include "Platform/T_Platform.h"
#include "Platform/T_ShutdownSignals.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char* const kUsage =
    "usage: kelvra-monitor [--config FILE]\n"
    "       kelvra-monitor --status HOST[:PORT]\n"
    "\n"
    "Answers the discovery datagrams of kelvra agents, takes their status\n"
    "reports and shows them: a web page at http://HOST:4106/, the same facts\n"
    "at /agents.json and Prometheus metrics at /metrics.\n"
    "\n"
    "  --config FILE         settings (ports, bind_ip, http_bind_ip, allowed_agents,\n"
    "                        max_agents, lost_after); without it the agents'\n"
    "                        default ports, the web page on 127.0.0.1 only\n"
    "  --status HOST[:PORT]  print the agents of the monitor at HOST (port 4106)\n"
    "  --help, --version\n";

int Usage(const std::string& error) {
  std::cerr << "kelvra-monitor: " << error << "\n" << kUsage;
  return kExitUsage;
}

int64_t UnixMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int PrintStatus(const std::string& hostPort) {
  TAgentList list;
  if (TStatus fetched = FetchAgentList(hostPort, list); !fetched) {
    std::cerr << "kelvra-monitor: " << fetched.Reason() << "\n";
    return kExitFailed;
  }
  std::cout << FormatStatusTable(list) << std::flush;
  return 0;
}

int RunMonitor(const std::string& configPath) {
  TIniFile file;
  if (!configPath.empty()) {
    std::string text;
    if (TStatus read = TPlatform::Linux().Files->ReadFile(configPath, text); !read) {
      std::cerr << "kelvra-monitor: settings " << configPath << " cannot be read: " << read.Reason() << std::endl;
      return kExitFailed;
    }
    file = TIniFile(text);
  }
  const TMonitorSettings settings = ReadMonitorSettings(file);
  if (!settings.Refusal.empty()) {
    std::cerr << "kelvra-monitor: " << settings.Refusal << std::endl;
    return kExitFailed;
  }
  // A descriptor per agent: as many as the system lets this process have.
  RaiseOpenFilesLimit();
  const TPlatform& platform = TPlatform::Linux();
  // Before any other thread: the threads made later block these signals.
  TShutdownSignals signals;

  TAgentRegistry registry(UnixMs, int64_t{settings.LostAfterSeconds} * 1000, settings.MaxAgents);
  TStatusServer status(*platform.System, *platform.Debug, registry, settings);
  TDiscoveryResponder discovery(*platform.System, *platform.Debug, registry, settings);
  TWebServer web(registry, settings);
  // One after another: the first that fails says why, and nothing after it
  // starts.
  const std::function<TStatus()> starts[] = {[&] { return status.Start(); },
                                             [&] { return settings.AnswerDiscovery ? discovery.Start() : TStatus(); },
                                             [&] { return web.Start(); }};
  for (const auto& start : starts) {
    if (TStatus started = start(); !started) {
      std::cerr << "kelvra-monitor: " << started.Text() << std::endl;
      return kExitFailed;
    }
  }
  std::cout << "kelvra-monitor: status reports on port " << status.Port() << ", "
            << (settings.AnswerDiscovery ? "discovery on port " + std::to_string(discovery.Port())
                                         : std::string("discovery not answered"))
            << ", web page on http://" << (settings.HttpBindIp.empty() ? "localhost" : settings.HttpBindIp) << ":"
            << web.Port() << "/" << std::endl;
  signals.Wait(-1);
  web.Stop();
  discovery.Stop();
  status.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  EnsureStandardDescriptors();
  IgnoreBrokenPipe();
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string configPath;
  std::string statusOf;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--version") {
      std::cout << "kelvra-monitor " << KELVRA_VERSION << "\n";
      return 0;
    }
    if (arg == "--config" || arg == "--status") {
      if (i + 1 == args.size()) return Usage(arg + " needs a value");
      (arg == "--config" ? configPath : statusOf) = args[++i];
      continue;
    }
    return Usage("unknown argument " + arg);
  }
  if (!statusOf.empty()) return PrintStatus(statusOf);
  try {
    return RunMonitor(configPath);
  } catch (const std::exception& error) {
    // The signal handlers or a thread that could not be made.
    std::cerr << "kelvra-monitor: " << error.what() << std::endl;
    return kExitFailed;
  }
}
