// TAgent: the object that holds the agent together. It reads the settings,
// owns the temporary folder (made at start, emptied of an earlier run's
// files), keeps the list of sessions the agent works for,
// builds the one-line status text and provides the debug log. Whoever owns
// the main thread (the headless runner or the window) creates it and
// destroys it there; every other object of the agent borrows it.
//
// Lock order: the settings lock (inside TAgentConfig) and the session lock
// are leaves: nothing else is taken while either is held.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "Agent/I_MainThread.h"
#include "Agent/T_CoordinatorState.h"
#include "Agent/T_AgentConfig.h"
#include "Common/T_DebugLog.h"
#include "I_Agent.h"
#include "Platform/T_LibraryLock.h"
#include "Platform/T_Mutex.h"
#include "Platform/T_Platform.h"

class TAgentLobby;
class TAgentStatusThread;

// What a test may leave out of an agent core.
struct TAgentOptions {
  // Without it the agent never looks for a coordinator (nor broadcasts) and
  // its status text says it is searching.
  bool StartStatusThread = true;
};

class TAgent {
 public:
  // Builds the agent from the settings file `configFileName` (its full
  // name) on the main thread that `mainThread` serves (borrowed for the
  // agent's life). The caller holds the user's instance lock. Errors
  // propagate (among them a temporary folder that cannot be made, or
  // settings that refuse a start); whatever was built is taken down first.
  TAgent(const TPlatform& platform, std::string configFileName, IMainThread& mainThread,
         TAgentOptions options = {});
  // Sets the closing flag, then takes everything down in reverse order.
  ~TAgent();
  TAgent(const TAgent&) = delete;
  TAgent& operator=(const TAgent&) = delete;

  // Session list; any thread. Addresses are dotted-decimal IPv4 texts.
  // Appends a session with an empty task list (duplicates allowed).
  void AddSession(const std::string& address) EXCLUDES(SessionLock);
  // Removes the last session with exactly this address, if any.
  void RemoveSession(const std::string& address) EXCLUDES(SessionLock);
  // Replaces the task list of the first session with this address (letter
  // case ignored), if any.
  void SetSessionTasks(const std::string& address, const std::string& tasks) EXCLUDES(SessionLock);

  // "Working for a[tasks], b[tasks]" or "Unassigned", then " [suspended, N]"
  // while work is held back, then the coordinator suffix. Any thread.
  std::string GetStatusText() const EXCLUDES(SessionLock);

  // The debug log (off unless enableDebugOutput). Any thread.
  template <typename... TArgs>
  void DebugWrite(std::string_view format, const TArgs&... args) const {
    Log.Write(format, args...);
  }
  const TDebugLog& Debug() const { return Log; }

  // Where the frame writers report a failed write: the debug-output channel
  // while enableDebugOutput is on, else nowhere (null).
  IDebugSink* FrameErrorLog() const { return Setting().EnableDebugOutput ? Host.Debug : nullptr; }

  // Settings, fixed after construction except the coordinator address.
  TAgentConfig& Config() { return Settings; }
  const TAgentSettings& Setting() const { return Settings.Settings(); }
  int PoolSize() const { return Settings.PoolSize(); }

  // The session files' root: <data home>/kelvra/TEMP/, ending in "/".
  const std::string& TempFolder() const { return TemporaryFolder; }

  // False from construction until destruction begins. Any thread.
  bool Closing() const { return ClosingFlag.load(std::memory_order_relaxed); }
  // Sets the closing flag early, as destruction does; for tests of threads
  // that watch it.
  void TEST_SetClosing() { ClosingFlag.store(true, std::memory_order_relaxed); }

  // Gives `thread` the priority, best effort: the first refusal (no
  // privilege to raise a priority again) is logged, later ones are not, and
  // the caller goes on either way. Any thread.
  void ChangeThreadPriority(TSystemThreadId thread, TThreadPriority priority);

  // The coordinator link as the status text shows it; searching while the
  // agent has no status thread.
  TCoordinatorState CoordinatorState() const;

  // The load summary ("0.0 2.3 1536") of the latest measurements. Any thread.
  std::string GetLoadSummary() const;

  // The lobby's port (the settings' port, or the one chosen for port 0).
  uint16_t LobbyPort() const;

  // The status thread's measurements; null when it was left out.
  const TAgentStatusThread* StatusThread() const { return Status.get(); }

  // The global lock handed to task libraries; never taken by the agent.
  void* GlobalLockAddress() { return LibraryLock.Address(); }

  // The agent interface handed to task libraries (procedures and their
  // EndSession exports); valid for the agent's life. Its slots may be
  // called by any number of threads at once.
  IAgent* Interface() { return &AgentInterface; }

  const TPlatform& Platform() const { return Host; }

 private:
  static std::string MakeTempFolder(const TPlatform& platform);

  // The object task libraries see: its first word points to the slot table.
  struct TInterface : IAgent {
    TAgent* Owner;  // borrowed: the agent that holds this interface
  };
  static TAgent& OwnerOf(IAgent* self) { return *static_cast<TInterface*>(self)->Owner; }
  static const IAgentVtbl kInterfaceTable;
  static int32_t SlotQueryInterface(IAgent* self, const void* iid16, void** out) noexcept;
  static uint32_t SlotAddRef(IAgent* self) noexcept;
  static uint32_t SlotRelease(IAgent* self) noexcept;
  static int32_t SlotGetVersion(IAgent* self, uint32_t* out) noexcept;
  static int32_t SlotGetData(IAgent* self, void* session, const char* id, IGenericStream** out) noexcept;
  static int32_t SlotFreeData(IAgent* self, void* session, const char* id) noexcept;
  static int32_t SlotShouldAbort(IAgent* self, void* session) noexcept;
  static int32_t SlotGetSessionFolder(IAgent* self, void* session, char* buffer) noexcept;
  static int32_t SlotGetGlobalLock(IAgent* self, void** out) noexcept;

  // Written once by the destroying thread, read by any thread: a reader that
  // misses the change only reacts a little later, so relaxed suffices.
  std::atomic<bool> ClosingFlag{false};
  // Exchanged by any thread whose priority change was refused; only the
  // exchange itself matters (one log line), so relaxed suffices.
  std::atomic<bool> PriorityRefusalLogged{false};

  // Constant after construction.
  TInterface AgentInterface{{&kInterfaceTable}, this};
  TLibraryLock LibraryLock;
  const TPlatform Host;  // the facilities are borrowed
  const std::string TemporaryFolder;
  TAgentConfig Settings;
  const TDebugLog Log;

  // Guarded by the session lock; the two lists are parallel.
  mutable TMutex SessionLock;
  std::vector<std::string> SessionAddresses GUARDED_BY(SessionLock);
  std::vector<std::string> SessionTasks GUARDED_BY(SessionLock);

  // Owned; the lobby opens before the status thread starts and closes after
  // it has stopped. Each is set once by the constructor.
  std::unique_ptr<TAgentLobby> Lobby;
  std::unique_ptr<TAgentStatusThread> Status;
};
