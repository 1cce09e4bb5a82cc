// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_Agent.h"

#include <atomic>
#include <stdexcept>

#include "Agent/T_AgentLobby.h"
#include "Agent/T_AgentStatusThread.h"
#include "Agent/T_SessionLedger.h"
#include "Platform/T_Confinement.h"
#include "Platform/T_Thread.h"

namespace {

// Reads the settings, logs each refused value once the log is known, and
// makes the context of the agent's parts from them.
TAgentContext ReadSettings(const TPlatform& platform, TAgentConfig& config, const std::string& tempFolder) {
  std::vector<std::string> refused = config.ReadConfig();
  TDebugLog log(*platform.Debug, config.Settings().EnableDebugOutput);
  for (const std::string& line : refused) log.Write("%s", line);
  return TAgentContext(platform, log, config.Settings(), config.PoolSize(), tempFolder);
}

// The session processes' shared parts with [agent] isolation=process, after
// one log line of the confinement this kernel allows; none with thread.
std::unique_ptr<TSessionProcesses> MakeSessionProcesses(const TAgentContext& context, const std::string& configFile,
                                                        std::string program) {
  if (context.Settings().Isolation != TAgentSettings::TIsolation::Process) return nullptr;
  context.DebugWrite("AGENT: Sessions run in processes of their own (isolation=process): %s",
                     TConfinement::Describe());
  if (program.empty())
    throw std::runtime_error("[agent] isolation=process: this program cannot run sessions in processes of their own");
  return std::make_unique<TSessionProcesses>(context, std::move(program), configFile);
}

}  // namespace

std::string TAgent::TempFolderOf(const TPlatform& platform) {
  std::string folder = platform.System->DataHome();
  if (folder.empty()) throw std::runtime_error("no folder for the session files (neither XDG_DATA_HOME nor a home folder)");
  // The session folders are made below it without a further check, so a
  // link in the place of kelvra or TEMP stops the agent here.
  if (TStatus made = platform.Files->CreateOwnFolders(folder, "kelvra/TEMP"); !made)
    throw std::runtime_error(made.Text());
  if (folder.back() != '/') folder += '/';
  return folder + "kelvra/TEMP/";
}

TAgent::TAgent(const TPlatform& platform, std::string configFileName, IMainThread& mainThread,
               TAgentOptions options)
    : TAgent(TWithoutThreads{}, platform, std::move(configFileName), std::move(options.SessionProgram),
             std::move(options.StopNowRequested)) {
  // The agent is whole from here on: when a part cannot be made, the
  // destructor takes down what was built.
  // The status thread's object exists before any session can ask it for
  // the load summary; its thread starts once the lobby listens.
  if (options.StartStatusThread) Status = std::make_unique<TAgentStatusThread>(PartsContext, SettingsFile, SessionList, SuspendState, mainThread);
  if (Processes && Status) {
    Processes->SetLoadPublisher([this](TSessionLedger& ledger) {
      const TMachineSampler& measured = Status->Measurements();
      ledger.SetLoad(measured.ProcessorGHz(), measured.AgentPercent(), measured.IdlePercent(), measured.FreeMemoryMB());
    });
  }
  // Sessions can begin as soon as the lobby listens.
  Lobby = std::make_unique<TAgentLobby>(PartsContext, SessionServices, Processes.get());
  if (Status) Status->Start();
}

TAgent::TAgent(TWithoutThreads, const TPlatform& platform, std::string configFileName, std::string sessionProgram,
               std::function<bool(int)> stopNowRequested)
    : Host(platform),
      TemporaryFolder(TempFolderOf(platform)),
      SettingsFile(*platform.Files, *platform.System, std::move(configFileName)),
      PartsContext(ReadSettings(platform, SettingsFile, TemporaryFolder)),
      Processes(MakeSessionProcesses(PartsContext, SettingsFile.FileName(), std::move(sessionProgram))),
      StopNowRequested(std::move(stopNowRequested)) {
  // Only one agent runs for a user, and this one has no session yet: what
  // the folder holds was left by an earlier run that ended abruptly.
  if (TStatus removed = Host.Files->RemoveFolderContents(TemporaryFolder); !removed)
    PartsContext.DebugWrite("AGENT: Unable to remove the files of an earlier run: %s", removed.Text());
}

TAgent::~TAgent() {
  ClosingFlag.Set();
  // The thread ends before Status changes: it reads Status for the text.
  if (Status) Status->Shutdown();
  // Every session ends here, after its running tasks have been reported;
  // their reports still read the last measurements, so the stopped status
  // thread's object is freed only afterwards. A task that never returns
  // would hold this for ever: a second request to stop ends the session
  // processes at once.
  {
    std::atomic<bool> lobbyClosed{false};
    TThread watch("AgentStopWatch");
    if (Processes && StopNowRequested)
      static_cast<void>(watch.TryStart(*Host.System, *Host.Debug, [this, &lobbyClosed] {
        while (!lobbyClosed.load(std::memory_order_relaxed))
          if (StopNowRequested(200)) {
            Processes->StopNow();
            return;
          }
      }));
    Lobby.reset();
    lobbyClosed.store(true, std::memory_order_relaxed);
  }
  Status.reset();
}

uint16_t TAgent::LobbyPort() const { return Lobby ? Lobby->Port() : 0; }

TCoordinatorState TAgent::CoordinatorState() const { return Status ? Status->GetState() : csSearching; }

std::string TAgent::GetLoadSummary() const {
  return Status ? Status->GetLoadSummary() : TAgentStatusThread::FormatLoadSummary(0, 0, 0, 0);
}

std::string TAgent::GetStatusText() const {
  return SessionList.StatusText(SuspendState.SuspendSeconds(), CoordinatorState());
}
