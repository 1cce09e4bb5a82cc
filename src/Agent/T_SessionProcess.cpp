// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_SessionProcess.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <unistd.h>

#include "Agent/I_LoadSource.h"
#include "Agent/I_Session.h"
#include "Agent/T_Agent.h"
#include "Agent/T_AgentConfig.h"
#include "Agent/T_AgentContext.h"
#include "Agent/T_AgentInterface.h"
#include "Agent/T_AgentLobbySocketThread.h"
#include "Agent/T_ClosingFlag.h"
#include "Agent/T_CrashReports.h"
#include "Agent/T_SessionLedger.h"
#include "Agent/T_SessionList.h"
#include "Agent/T_SessionProcesses.h"
#include "Agent/T_SessionServices.h"
#include "Agent/T_SuspendState.h"
#include "Common/T_Connection.h"
#include "Platform/ProcessSetup.h"
#include "Platform/T_Confinement.h"
#include "Platform/T_ControlChannel.h"
#include "Platform/T_Platform.h"
#include "Platform/T_SharedMemory.h"
#include "Platform/T_TaskGuard.h"
#include "Platform/T_TcpSocket.h"
#include "Platform/T_Thread.h"

namespace {

// How long a thread may take from a caught fault to its text.
constexpr int64_t kStuckAfterFaultMs = 3000;

struct TArguments {
  std::string ConfigFile;
  uintptr_t Identity = 0;
  int AgentId = 0;
};

template <typename T>
bool ParseNumber(const char* text, T& value) {
  const char* end = text + std::strlen(text);
  auto [stop, error] = std::from_chars(text, end, value);
  return error == std::errc() && stop == end;
}

bool ParseArguments(int argc, char** argv, TArguments& parsed) {
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--config")
      parsed.ConfigFile = argv[i + 1];
    else if (name == "--session-identity" && ParseNumber(argv[i + 1], parsed.Identity))
      continue;
    else if (name == "--agent-pid" && ParseNumber(argv[i + 1], parsed.AgentId))
      continue;
    else
      return false;
  }
  return !parsed.ConfigFile.empty() && parsed.Identity != 0 && parsed.AgentId > 0;
}

// The load summary the agent keeps in the ledger.
class TLedgerLoad : public ILoadSource {
 public:
  explicit TLedgerLoad(const TSessionLedger& ledger) : Ledger(ledger) {}
  std::string GetLoadSummary() const override { return Ledger.LoadSummary(); }

 private:
  const TSessionLedger& Ledger;  // borrowed
};

// Attaches the region the agent handed over at `descriptor`, or throws.
TSharedMemory Attach(int descriptor, bool readOnly) {
  TSharedMemory attached;
  if (TStatus mapped = TSharedMemory::Attach(descriptor, readOnly, attached); !mapped)
    throw std::runtime_error("the memory the agent shares: " + mapped.Text());
  return attached;
}

// The confinement of this session: its folder and the settings' folders,
// the crash reports' folder to drop reports in, the user's data port.
TConfinementRules RulesOf(const TAgentContext& context, const std::string& sessionFolder) {
  const TAgentSettings& settings = context.Settings();
  TConfinementRules rules;
  rules.ReadPaths = settings.TaskReadPaths;
  rules.WritePaths = settings.TaskWritePaths;
  rules.WritePaths.insert(rules.WritePaths.begin(), sessionFolder);
  // Made now: once confined, the session can drop reports there but make
  // no folder.
  const std::string crashes = TCrashReports::Folder(context.Platform());
  if (!crashes.empty() && TCrashReports::MakeFolder(context.Platform())) rules.DropPaths.push_back(crashes);
  rules.AllowNetwork = settings.TaskNetwork;
  rules.AllowExec = settings.TaskExec;
  rules.ConnectPorts.push_back(settings.DataPort);
  const uint64_t limitMiB =
      settings.SessionMemoryLimitMiB != 0 ? settings.SessionMemoryLimitMiB : TConfinement::DefaultMemoryLimitMiB();
  rules.MemoryLimitBytes = limitMiB << 20;
  return rules;
}

int Serve(const TArguments& arguments) {
  const TPlatform& platform = TPlatform::Linux();
  TAgentConfig config(*platform.Files, *platform.System, arguments.ConfigFile);
  // The agent has logged what it refused when it read the same file.
  static_cast<void>(config.ReadConfig());
  const TDebugLog log(*platform.Debug, config.Settings().EnableDebugOutput);
  const TAgentContext context(platform, log, config.Settings(), config.PoolSize(), TAgent::TempFolderOf(platform));

  TSharedMemory boardMemory = Attach(TSessionProcesses::kBoardDescriptor, true);
  TSharedMemory lockMemory = Attach(TSessionProcesses::kLockDescriptor, false);
  TSharedMemory ledgerMemory = Attach(TSessionProcesses::kLedgerDescriptor, false);
  auto& board = *std::launder(reinterpret_cast<TSessionProcesses::TBoard*>(boardMemory.Address()));
  auto& lock = *std::launder(reinterpret_cast<TLibraryLock*>(lockMemory.Address()));
  TSessionLedger ledger(*std::launder(reinterpret_cast<TSessionLedger::TRegion*>(ledgerMemory.Address())));
  TSessionLedger::SetForThisProcess(&ledger);
  // A task's abort ends this process: the agent answers for its tasks. A
  // caught fault is noted at once, for the agent to learn of it should the
  // faulting thread never get further.
  TTaskGuard::MakeAbortFatal();
  TTaskGuard::NotifyCaughtFaults([](int signal) { TSessionLedger::OfThisProcess()->FaultCaught(signal); });
  ISession::ContinueIdentitiesFrom(arguments.Identity);

  std::optional<TConnection> lobby;
  {
    TTcpSocket socket;
    uint32_t address = 0;
    uint16_t port = 0;
    if (TStatus adopted = TTcpSocket::Adopt(TSessionProcesses::kLobbyDescriptor, socket, address, port); !adopted)
      throw std::runtime_error("the lobby connection: " + adopted.Text());
    lobby.emplace(std::move(socket), address, port);
  }
  TControlChannel control(TSessionProcesses::kControlDescriptor);

  // The session folder the agent made; the task's temporary files go there.
  const char* folder = std::getenv("TMPDIR");
  const TConfinementRules rules = RulesOf(context, folder != nullptr ? folder : "");
  std::string applied;
  if (TStatus confined = TConfinement::ApplyFilesAndMemory(rules, applied); !confined)
    throw std::runtime_error("cannot confine the session: " + confined.Text());
  context.DebugWrite("SESSION: Confined: %s", applied);

  TClosingFlag closing(board.Closing);
  TSuspendState suspension(board.SuspendSeconds);
  TLedgerLoad load(ledger);
  TSessionList sessions;
  TAgentInterface agentInterface(context, closing, suspension, &lock);
  TSessionServices services{closing, suspension, load, sessions, agentInterface.Interface()};
  services.ConfineBeforeTasks = [&rules, &context] {
    std::string calls;
    TStatus confined = TConfinement::ApplySystemCalls(rules, calls);
    if (confined) context.DebugWrite("SESSION: Confined: %s", calls);
    return confined;
  };
  services.LobbyClosed = [&control] { static_cast<void>(control.Send("D")); };

  // Answers the agent's questions until the process ends; each answer is
  // made afresh (a process whose heap or locks a task damaged cannot).
  TThread answering("SessionControl");
  answering.Start(*platform.System, *platform.Debug, [&control, &sessions, &ledger] {
    std::string question;
    while (control.Receive(question, -1)) {
      // A thread that has not got past a caught fault in this long waits
      // on a lock the task left held: the process is damaged, and says so
      // by not answering.
      if (ledger.StuckAfterFault(kStuckAfterFaultMs)) continue;
      if (question == "T" && !control.Send("L" + sessions.FirstTaskList())) break;
    }
  });
  TAgentLobbySocketThread(context, services).Serve(*lobby);
  ledger.MarkCleanEnd();
  // Nothing is left to take down: the session has ended, its files are
  // gone, and the kernel closes the rest.
  std::fflush(nullptr);
  ::_exit(0);
}

}  // namespace

int TSessionProcess::Run(int argc, char** argv) {
  TArguments arguments;
  if (!ParseArguments(argc, argv, arguments)) {
    std::fprintf(stderr, "kelvra-agent: --session-process is started by the agent only\n");
    return 2;
  }
  FollowTheAgent(arguments.AgentId);
  try {
    return Serve(arguments);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kelvra-agent: session process: %s\n", error.what());
    return 1;
  }
}
