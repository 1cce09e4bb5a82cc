// SPDX-License-Identifier: Apache-2.0
// TSessionProcesses: what the agent keeps for the sessions it runs in
// processes of their own ([agent] isolation=process). Each lobby connection
// is served by a TSessionProcessHost, which starts the agent's own program
// again as the session process and hands it the connection; this object
// holds what those hosts share:
// - the board: the closing flag and the suspension, which the agent writes
//   and every session process reads (sealed: a session process can map it
//   only to read);
// - the global lock handed to task libraries, one for every session
//   process (process-shared and robust);
// - the program to start and the settings file it reads;
// - the stop: a second request to stop ends every session process at once.
//
// Threads: made and destroyed by the agent on the main thread; the hosts'
// threads use it meanwhile; StopNow from any thread.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "Platform/T_LibraryLock.h"
#include "Platform/T_Mutex.h"
#include "Platform/T_SharedMemory.h"
#include "Platform/T_WakeDescriptor.h"

class TAgentContext;
class TConnection;
class TSessionLedger;
struct TSessionServices;

class TSessionProcesses {
 public:
  // What the agent writes and every session process reads.
  struct TBoard {
    std::atomic<bool> Closing{false};
    std::atomic<int> SuspendSeconds{0};
  };

  // The numbers at which a session process finds what the agent hands it.
  static constexpr int kLobbyDescriptor = 3;
  static constexpr int kControlDescriptor = 4;
  static constexpr int kBoardDescriptor = 5;
  static constexpr int kLockDescriptor = 6;
  static constexpr int kLedgerDescriptor = 7;

  // `context` is borrowed for the object's life. `program` is the agent's
  // executable (a session process runs it again), `configFile` the settings
  // file it reads. Throws when the shared memory cannot be made.
  TSessionProcesses(const TAgentContext& context, std::string program, std::string configFile);
  ~TSessionProcesses();
  TSessionProcesses(const TSessionProcesses&) = delete;
  TSessionProcesses& operator=(const TSessionProcesses&) = delete;

  TBoard& Board() { return *BoardPlace; }

  // The whole session of `connection` in a session process (the lobby's
  // serve for every admitted connection). `services` borrowed for as long.
  void Serve(TConnection& connection, const TSessionServices& services);

  // Ends every session process at once, and every one started from now on:
  // their running tasks are answered "the agent was stopped". Any thread.
  void StopNow();

  // Sets how a host puts the agent's latest measurements where its session
  // process reads the load summary. Before the first session.
  void SetLoadPublisher(std::function<void(TSessionLedger&)> publisher) { PublishLoad = std::move(publisher); }

 private:
  friend class TSessionProcessHost;

  const TAgentContext& Context;  // borrowed
  const std::string Program;
  const std::string ConfigFile;
  TSharedMemory BoardMemory;
  TSharedMemory LockMemory;
  TBoard* BoardPlace = nullptr;      // in BoardMemory
  TLibraryLock* LibraryLock = nullptr;  // in LockMemory
  std::function<void(TSessionLedger&)> PublishLoad;

  // Keeps the making and removing of session folders apart: the folder of
  // a user holds the folders of that user's sessions. A leaf.
  TMutex FolderLock;
  // Set once, by StopNow; readable from then on, for every host's wait.
  std::atomic<bool> StoppingNow{false};
  TWakeDescriptor StopWake;
};
