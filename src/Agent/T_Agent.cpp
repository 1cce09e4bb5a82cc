#include "Agent/T_Agent.h"

#include <algorithm>
#include <strings.h>

#include "Agent/T_AgentStatusThread.h"
#include "Agent/T_AgentThreadPool.h"
#include "Common/kelvracommon.h"

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
  if (folder.empty() || folder.back() != '/') folder += '/';
  folder += "kelvra/TEMP/";
  // Failures are not reported here: later writes into the folder fail and
  // report themselves.
  CreateDirectoriesForFile(*platform.Files, folder + "dummy.txt");
  return folder;
}

TAgent::TAgent(const TPlatform& platform, std::string configFileName, IMainThread& mainThread,
               TAgentOptions options)
    : Host(platform),
      TemporaryFolder(MakeTempFolder(platform)),
      Settings(*platform.Files, *platform.System, std::move(configFileName)),
      Log(ReadSettings(Settings, *platform.Debug)) {
  if (options.StartStatusThread) Status = std::make_unique<TAgentStatusThread>(*this, mainThread);
}

TAgent::~TAgent() {
  ClosingFlag.store(true, std::memory_order_relaxed);
  Status.reset();
}

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
