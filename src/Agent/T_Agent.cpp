#include "Agent/T_Agent.h"

#include <stdexcept>

#include "Agent/T_AgentLobby.h"
#include "Agent/T_AgentStatusThread.h"

namespace {

// Reads the settings, logs each refused value once the log is known, and
// makes the context of the agent's parts from them.
TAgentContext ReadSettings(const TPlatform& platform, TAgentConfig& config, const std::string& tempFolder) {
  std::vector<std::string> refused = config.ReadConfig();
  TDebugLog log(*platform.Debug, config.Settings().EnableDebugOutput);
  for (const std::string& line : refused) log.Write("%s", line);
  return TAgentContext(platform, log, config.Settings(), config.PoolSize(), tempFolder);
}

}  // namespace

std::string TAgent::MakeTempFolder(const TPlatform& platform) {
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
    : TAgent(TWithoutThreads{}, platform, std::move(configFileName)) {
  // The agent is whole from here on: when a part cannot be made, the
  // destructor takes down what was built.
  // The status thread's object exists before any session can ask it for
  // the load summary; its thread starts once the lobby listens.
  if (options.StartStatusThread) Status = std::make_unique<TAgentStatusThread>(PartsContext, SettingsFile, SessionList, SuspendState, mainThread);
  // Sessions can begin as soon as the lobby listens.
  Lobby = std::make_unique<TAgentLobby>(PartsContext, SessionServices);
  if (Status) Status->Start();
}

TAgent::TAgent(TWithoutThreads, const TPlatform& platform, std::string configFileName)
    : Host(platform),
      TemporaryFolder(MakeTempFolder(platform)),
      SettingsFile(*platform.Files, *platform.System, std::move(configFileName)),
      PartsContext(ReadSettings(platform, SettingsFile, TemporaryFolder)) {
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
  // thread's object is freed only afterwards.
  Lobby.reset();
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
