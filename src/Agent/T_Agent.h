// SPDX-License-Identifier: Apache-2.0
// TAgent: the owner that builds the agent and wires it together. It reads
// the settings, makes the temporary folder (emptied of an earlier run's
// files) and the context its parts borrow, owns the agent's services (the
// session list, the closing flag, the suspension, the interface handed to
// task libraries) and starts the lobby and the status thread. Whoever owns
// the main thread (the headless runner or the window) creates it and
// destroys it there. Nothing below it knows it: each part is handed the
// context and the services it uses.
//
// Lock order (Agent/LockOrder.h): the settings lock (inside TAgentConfig)
// is a leaf: nothing else is taken while it is held. The session lock
// (inside TSessionList) is taken before the session workers' queue locks.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Agent/I_LoadSource.h"
#include "Agent/I_MainThread.h"
#include "Agent/T_CoordinatorState.h"
#include "Agent/T_AgentConfig.h"
#include "Agent/T_AgentContext.h"
#include "Agent/T_AgentInterface.h"
#include "Agent/T_ClosingFlag.h"
#include "Agent/T_SessionList.h"
#include "Agent/T_SessionProcesses.h"
#include "Agent/T_SessionServices.h"
#include "Agent/T_SuspendState.h"
#include "Platform/T_Platform.h"

class TAgentLobby;
class TAgentStatusThread;

// What a test may leave out of an agent core.
struct TAgentOptions {
  // Without it the agent never looks for a coordinator (nor broadcasts) and
  // its status text says it is searching.
  bool StartStatusThread = true;
  // The program a session process runs ([agent] isolation=process): the
  // agent's executable (the process entry gives "/proc/self/exe"; an agent
  // core in a test names the built kelvra-agent). Without it such a start
  // fails: another executable must never be run as a session.
  std::string SessionProgram;
  // Asked while the agent shuts down, waiting at most the milliseconds
  // given: true once a second request to stop has come. Session processes
  // then end at once, their running tasks answered with TASK_FAILED.
  std::function<bool(int)> StopNowRequested;
};

class TAgent : public ILoadSource {
 public:
  // Builds the agent from the settings file `configFileName` (its full
  // name) on the main thread that `mainThread` serves (borrowed for the
  // agent's life). The caller holds the user's instance lock. An agent that
  // cannot be built raises (among the reasons a temporary folder that cannot
  // be made, or settings that refuse a start); whatever was built is taken
  // down first.
  TAgent(const TPlatform& platform, std::string configFileName, IMainThread& mainThread,
         TAgentOptions options = {});
  // Sets the closing flag, then takes everything down in reverse order.
  ~TAgent() override;
  TAgent(const TAgent&) = delete;
  TAgent& operator=(const TAgent&) = delete;

  // What the agent lends its parts; valid for the agent's life.
  const TAgentContext& Context() const { return PartsContext; }
  const TSessionServices& Services() const { return SessionServices; }

  // The sessions the agent works for. Any thread.
  TSessionList& Sessions() { return SessionList; }

  // "Working for a[tasks], b[tasks]" or "Unassigned", then " [suspended, N]"
  // while work is held back, then the coordinator suffix. Any thread.
  std::string GetStatusText() const;

  // The settings file with the coordinator address, which changes at run
  // time; the rest of the settings as read at start.
  TAgentConfig& Config() { return SettingsFile; }
  const TAgentSettings& Settings() const { return SettingsFile.Settings(); }
  int PoolSize() const { return SettingsFile.PoolSize(); }

  // False from construction until destruction begins. Any thread.
  bool Closing() const { return ClosingFlag.IsSet(); }

  // The coordinator link as the status text shows it; searching while the
  // agent has no status thread.
  TCoordinatorState CoordinatorState() const;

  // ILoadSource: the load summary ("0.0 2.3 1536") of the latest
  // measurements; zeros while the agent has no status thread. Any thread.
  std::string GetLoadSummary() const override;

  // The lobby's port (the settings' port, or the one chosen for port 0).
  uint16_t LobbyPort() const;

  // The status thread's measurements; null when it was left out.
  const TAgentStatusThread* StatusThread() const { return Status.get(); }

  // The agent interface handed to task libraries; valid for the agent's
  // life.
  IAgent* Interface() { return AgentInterface.Interface(); }

  // The session files' root of `platform`'s user (<data home>/kelvra/TEMP/),
  // made when missing. Throws when it cannot be.
  static std::string TempFolderOf(const TPlatform& platform);

 private:
  // The settings, the temporary folder and the context, without the lobby
  // and the status thread: the public constructor starts those once this
  // one has made the object whole, so that its destructor undoes a start
  // that fails half-way.
  struct TWithoutThreads {};
  TAgent(TWithoutThreads, const TPlatform& platform, std::string configFileName, std::string sessionProgram,
         std::function<bool(int)> stopNowRequested);

  // The board of the session processes, or the agent's own when sessions
  // run in its process.
  TSessionProcesses::TBoard& Board() { return Processes ? Processes->Board() : OwnBoard; }

  // Constant after construction (the settings file's coordinator address
  // excepted: TAgentConfig guards it).
  const TPlatform Host;  // the facilities are borrowed
  const std::string TemporaryFolder;
  TAgentConfig SettingsFile;
  const TAgentContext PartsContext;

  // With [agent] isolation=process; null with thread.
  std::unique_ptr<TSessionProcesses> Processes;
  TSessionProcesses::TBoard OwnBoard;

  // The services; each synchronises itself. The closing flag and the
  // suspension live on the board.
  TClosingFlag ClosingFlag{Board().Closing};
  TSuspendState SuspendState{Board().SuspendSeconds};
  TSessionList SessionList;
  TAgentInterface AgentInterface{PartsContext, ClosingFlag, SuspendState};
  const TSessionServices SessionServices{ClosingFlag, SuspendState, *this, SessionList, AgentInterface.Interface()};

  // Constant after construction.
  const std::function<bool(int)> StopNowRequested;

  // Owned; the lobby opens before the status thread starts and closes after
  // it has stopped. Each is set once by the constructor.
  std::unique_ptr<TAgentLobby> Lobby;
  std::unique_ptr<TAgentStatusThread> Status;
};
