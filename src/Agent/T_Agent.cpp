#include "Agent/T_Agent.h"

#include <algorithm>
#include <strings.h>

#include "Agent/I_Session.h"
#include "Agent/T_AgentLobby.h"
#include "Agent/T_AgentStatusThread.h"
#include "Agent/T_AgentThreadPool.h"
#include "Common/T_SlotError.h"
#include "Common/kelvracommon.h"

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

// Reads the settings and logs each refused value once the log is known.
TDebugLog ReadSettings(TAgentConfig& config, IDebugSink& sink) {
  std::vector<std::string> refused = config.ReadConfig();
  TDebugLog log(sink, config.Settings().EnableDebugOutput);
  for (const std::string& line : refused) log.Write("%s", line);
  return log;
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
    : Host(platform),
      TemporaryFolder(MakeTempFolder(platform)),
      Settings(*platform.Files, *platform.System, std::move(configFileName)),
      Log(ReadSettings(Settings, *platform.Debug)) {
  // Only one agent runs for a user, and this one has no session yet: what
  // the folder holds was left by an earlier run that ended abruptly.
  if (TStatus removed = Host.Files->RemoveFolderContents(TemporaryFolder); !removed)
    DebugWrite("AGENT: Unable to remove the files of an earlier run: %s", removed.Text());
  try {
    // The status thread's object exists before any session can ask it for
    // the load summary; its thread starts once the lobby listens.
    if (options.StartStatusThread) Status = std::make_unique<TAgentStatusThread>(*this, mainThread);
    // Sessions can begin as soon as the lobby listens.
    Lobby = std::make_unique<TAgentLobby>(*this);
    if (Status) Status->Start();
  } catch (...) {
    ClosingFlag.store(true, std::memory_order_relaxed);
    if (Status) Status->Shutdown();
    Lobby.reset();
    Status.reset();
    throw;
  }
}

TAgent::~TAgent() {
  ClosingFlag.store(true, std::memory_order_relaxed);
  // The thread ends before Status changes: it reads Status for the text.
  if (Status) Status->Shutdown();
  // Every session ends here, after its running tasks have been reported;
  // their reports still read the last measurements, so the stopped status
  // thread's object is freed only afterwards.
  Lobby.reset();
  Status.reset();
}

uint16_t TAgent::LobbyPort() const { return Lobby ? Lobby->Port() : 0; }

void TAgent::ChangeThreadPriority(TSystemThreadId thread, TThreadPriority priority) {
  if (Host.System->SetThreadPriority(thread, priority)) return;
  if (!PriorityRefusalLogged.exchange(true, std::memory_order_relaxed))
    DebugWrite("AGENT: Unable to change a thread's priority (not permitted); priorities stay as they are");
}

TCoordinatorState TAgent::CoordinatorState() const { return Status ? Status->GetState() : csSearching; }

std::string TAgent::GetLoadSummary() const {
  return Status ? Status->GetLoadSummary() : TAgentStatusThread::FormatLoadSummary(0, 0, 0, 0);
}

void TAgent::AddSession(const std::string& address) {
  TMutexLock guard(SessionLock);
  SessionAddresses.push_back(address);
  SessionTasks.emplace_back();
}

void TAgent::RemoveSession(const std::string& address) {
  TMutexLock guard(SessionLock);
  for (size_t i = SessionAddresses.size(); i-- > 0;) {
    if (SessionAddresses[i] == address) {
      SessionAddresses.erase(SessionAddresses.begin() + static_cast<std::ptrdiff_t>(i));
      SessionTasks.erase(SessionTasks.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

void TAgent::SetSessionTasks(const std::string& address, const std::string& tasks) {
  TMutexLock guard(SessionLock);
  for (size_t i = 0; i < SessionAddresses.size(); ++i) {
    if (::strcasecmp(SessionAddresses[i].c_str(), address.c_str()) == 0) {
      SessionTasks[i] = tasks;
      return;
    }
  }
}

std::string TAgent::GetStatusText() const {
  std::string text;
  {
    TMutexLock guard(SessionLock);
    if (SessionAddresses.empty()) {
      text = "Unassigned";
    } else {
      text = "Working for ";
      for (size_t i = 0; i < SessionAddresses.size(); ++i) {
        if (i > 0) text += ", ";
        text += SessionAddresses[i] + "[" + SessionTasks[i] + "]";
      }
    }
  }
  int suspended = TAgentThreadPool::SuspendSeconds.load(std::memory_order_relaxed);
  if (suspended > 0) text += " [suspended, " + std::to_string(suspended) + "]";
  switch (CoordinatorState()) {
    case csConnecting:
    case csRetryWait:
      text += ", connecting to coordinator...";
      break;
    case csSearching:
      text += ", searching for coordinator...";
      break;
    case csReporting:
    case csReportWait:
      break;
  }
  return text;
}

// The agent interface. Every slot is a C entry point that never lets an
// error escape into task code: a failure is remembered for the calling
// thread and fails the task when its procedure returns.

const IAgentVtbl TAgent::kInterfaceTable = {
    &TAgent::SlotQueryInterface, &TAgent::SlotAddRef,           &TAgent::SlotRelease,
    &TAgent::SlotGetVersion,     &TAgent::SlotGetData,          &TAgent::SlotFreeData,
    &TAgent::SlotShouldAbort,    &TAgent::SlotGetSessionFolder, &TAgent::SlotGetGlobalLock,
};

int32_t TAgent::SlotQueryInterface(IAgent*, const void*, void**) noexcept { return KELVRA_E_NOINTERFACE; }

uint32_t TAgent::SlotAddRef(IAgent*) noexcept { return 1; }

uint32_t TAgent::SlotRelease(IAgent*) noexcept { return 1; }

int32_t TAgent::SlotGetVersion(IAgent*, uint32_t* out) noexcept {
  return TSlotError::Run(int32_t{1}, [&] {
    *out = KELVRA_AGENT_VERSION;
    return int32_t{0};
  });
}

int32_t TAgent::SlotGetData(IAgent*, void* session, const char* id, IGenericStream** out) noexcept {
  return TSlotError::Run(int32_t{1}, [&] {
    *out = nullptr;
    IGenericStream* view = nullptr;
    if (ISession::FromIdentity(session).GetData(id, view) != 0) return int32_t{1};
    view->SetPos(0);
    *out = view;
    return int32_t{0};
  });
}

int32_t TAgent::SlotFreeData(IAgent*, void* session, const char* id) noexcept {
  return TSlotError::Run(int32_t{0}, [&] {
    ISession::FromIdentity(session).FreeData(id != nullptr ? std::optional<std::string>(id) : std::nullopt);
    return int32_t{0};
  });
}

int32_t TAgent::SlotShouldAbort(IAgent* self, void* session) noexcept {
  return TSlotError::Run(int32_t{0}, [&] {
    TAgent& agent = OwnerOf(self);
    ISession& owner = ISession::FromIdentity(session);
    // Holds the task back while the machine's owner needs the processors.
    while (TAgentThreadPool::SuspendSeconds.load(std::memory_order_relaxed) > 0 && !agent.Closing() &&
           !owner.SessionEnding()) {
      agent.DebugWrite("Suspended...");
      std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }
    return int32_t{owner.SessionEnding() ? 1 : 0};
  });
}

int32_t TAgent::SlotGetSessionFolder(IAgent*, void* session, char* buffer) noexcept {
  return TSlotError::Run(int32_t{0}, [&] {
    std::string folder = ISession::FromIdentity(session).SessionFolder();
    // The header promises task authors a bound on what is written.
    size_t length = std::min(folder.size(), size_t{KELVRA_SESSION_FOLDER_MAX} - 1);
    std::memcpy(buffer, folder.data(), length);
    buffer[length] = '\0';
    return int32_t{0};
  });
}

int32_t TAgent::SlotGetGlobalLock(IAgent* self, void** out) noexcept {
  return TSlotError::Run(int32_t{0}, [&] {
    *out = OwnerOf(self).GlobalLockAddress();
    return int32_t{0};
  });
}
