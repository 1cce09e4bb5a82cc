// SPDX-License-Identifier: Apache-2.0
// kelvra-agent: the process entry. Prepares the process, takes the user's
// instance lock, builds the agent core on the main thread (with the status
// window and icon when a display answers and the window module loads, else
// headless, with no Qt library mapped), runs until Exit,
// SIGTERM, SIGINT or SIGHUP asks it to stop, and then takes the agent down
// in order (all sessions end first).

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "Agent/AgentVersion.h"
#include "Agent/StatusLine.h"
#include "Agent/T_Agent.h"
#include "Agent/T_MainThreadQueue.h"
#include "Agent/T_SessionProcess.h"
#include "Platform/ProcessSetup.h"
#include "Platform/TaskFloatingPoint.h"
#include "Platform/T_InstanceLock.h"
#include "Platform/T_Platform.h"
#include "Platform/T_ShutdownSignals.h"
#include "Platform/T_WakeDescriptor.h"
#ifdef KELVRA_HAVE_GUI
#include "Gui/T_AgentStatusSource.h"
#include "Gui/T_WindowModule.h"
#include "Gui/WindowingAvailable.h"
#endif

namespace {

constexpr const char* kUsage =
    "Usage: kelvra-agent [--headless] [--config FILE]\n"
    "\n"
    "The worker-side agent of the kelvra computation grid.\n"
    "\n"
    "  --headless     run without a window until SIGTERM, SIGINT or SIGHUP\n"
    "  --config FILE  settings file (default: kelvra.INI beside the executable)\n"
    "  --help         show this text\n"
    "  --version      show the version\n";

struct TCommandLine {
  bool Headless = false;
  std::string ConfigFile;
};

// Parses the arguments; answers the exit code when the process should end
// at once (help, version, or a usage error), -1 to go on.
int ParseCommandLine(int argc, char** argv, TCommandLine& line) {
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--headless") {
      line.Headless = true;
    } else if (argument == "--config" && i + 1 < argc) {
      line.ConfigFile = argv[++i];
    } else if (argument.rfind("--config=", 0) == 0) {
      line.ConfigFile = argument.substr(9);
    } else if (argument == "--help" || argument == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (argument == "--version") {
      std::printf("%s\n", kAgentVersionText);
      return 0;
    } else {
      std::fprintf(stderr, "kelvra-agent: unknown argument '%s'\n\n%s", argument.c_str(), kUsage);
      return 2;
    }
  }
  return -1;
}

// kelvra.INI in the folder of the executable.
std::string DefaultConfigFile(ISystem& system) {
  std::filesystem::path executable = system.ExecutablePath();
  if (executable.empty()) return "kelvra.INI";
  return (executable.parent_path() / "kelvra.INI").string();
}


// Prints the status line (the status text cut at a readable length) when it
// has changed since the last print, so an operator watching the output sees
// what the agent does without a flood.
void PrintStatusIfChanged(const TAgent& agent, std::string& printed) {
  std::string line = ShortStatusLine(agent.GetStatusText());
  if (line == printed) return;
  printed = std::move(line);
  std::printf("%s\n", printed.c_str());
  std::fflush(stdout);
}

// The agent's options: sessions run this very executable, and a second
// SIGTERM, SIGINT or SIGHUP while the agent shuts down ends its session
// processes at once.
TAgentOptions AgentOptions(TShutdownSignals& signals) {
  TAgentOptions options;
  // The executable of this process, even when its file has been replaced
  // since (a package upgrade): a session runs the agent it belongs to.
  options.SessionProgram = "/proc/self/exe";
  options.StopNowRequested = [&signals](int timeoutMs) { return signals.WaitForRequests(2, timeoutMs); };
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  // Every thread of the agent starts from this floating-point state.
  LoadTaskFloatingPoint();
  EnsureStandardDescriptors();
  IgnoreBrokenPipe();
  // A session of the agent's, in a process of its own.
  if (argc > 1 && std::strcmp(argv[1], "--session-process") == 0) return TSessionProcess::Run(argc, argv);

  TCommandLine line;
  if (int code = ParseCommandLine(argc, argv, line); code >= 0) return code;

  // The main thread keeps its name: on Linux it is the process's name, which
  // ps, pgrep, killall and systemd show.
  const TPlatform& platform = TPlatform::Linux();

  // One agent per user: a second one ends at once, saying nothing.
  TInstanceLock instance;
  const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  const TStatus taken = instance.Take(runtimeDir != nullptr ? runtimeDir : "", platform.System->DataHome());
  if (TInstanceLock::HeldElsewhere(taken)) return 0;
  if (!taken) {
    std::fprintf(stderr, "kelvra-agent: %s\n", taken.Text().c_str());
    return 1;
  }
  std::string configFile = line.ConfigFile.empty() ? DefaultConfigFile(*platform.System) : line.ConfigFile;
  std::error_code ignored;
  std::filesystem::path absolute = std::filesystem::absolute(configFile, ignored);
  if (!absolute.empty()) configFile = absolute.string();

  try {
    // Installed before any agent thread exists, so every thread inherits
    // the handlers and only the main thread does the work.
    TShutdownSignals signals;
#ifdef KELVRA_HAVE_GUI
    std::string noWindow;
    if (!line.Headless && WindowingAvailable(noWindow)) {
      TWindowModule window(*platform.Libraries, *platform.Files, *platform.System, KELVRA_WINDOW_MODULE_DIR);
      if (const TStatus loaded = window.Load(); !loaded) {
        noWindow = loaded.Text() + "; running headless";
      } else {
        // The status window and the icon; SIGTERM, SIGINT and SIGHUP act as Exit.
        TWindowedOptions options;
        options.ShutdownRequested = [&signals] { return signals.Wait(0); };
        const std::function<std::unique_ptr<TAgent>(IMainThread&)> makeAgent = [&](IMainThread& mainThread) {
          return std::make_unique<TAgent>(platform, configFile, mainThread, AgentOptions(signals));
        };
        return window.Run(argc, argv, OwningStatusSource(makeAgent), options);
      }
    }
    if (!noWindow.empty()) std::fprintf(stderr, "kelvra-agent: %s\n", noWindow.c_str());
#endif
    TMainThreadQueue mainThread;
    auto agent = std::make_unique<TAgent>(platform, configFile, mainThread, AgentOptions(signals));
    // Headless (asked for, no display, or a build without Qt): the main
    // thread serves hand-overs from other threads until asked to stop.
    std::string printed;
    PrintStatusIfChanged(*agent, printed);
    while (!signals.Wait(0)) {
      WaitReadable({signals.WakeDescriptor(), mainThread.WakeDescriptor()}, 1000);
      mainThread.ServePending();
      PrintStatusIfChanged(*agent, printed);
    }
    agent.reset();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kelvra-agent: %s\n", error.what());
    return 1;
  }
  return 0;
}
