// TSessionList: the users the agent works for, each with the text of its
// session's tasks, and the one-line status text built from them. Lobby
// threads add and remove sessions, workers set their task texts, and the
// status thread, the window and the headless runner read the text; every
// call may come from any thread. The session lock is a leaf: nothing else
// is taken while it is held.
#pragma once

#include <string>
#include <vector>

#include "Agent/T_CoordinatorState.h"
#include "Platform/T_Mutex.h"

class TSessionList {
 public:
  TSessionList() = default;
  TSessionList(const TSessionList&) = delete;
  TSessionList& operator=(const TSessionList&) = delete;

  // Addresses are dotted-decimal IPv4 texts. Appends a session with an
  // empty task list (duplicates allowed).
  void AddSession(const std::string& address) EXCLUDES(SessionLock);
  // Removes the last session with exactly this address, if any.
  void RemoveSession(const std::string& address) EXCLUDES(SessionLock);
  // Replaces the task list of the first session with this address (letter
  // case ignored), if any.
  void SetSessionTasks(const std::string& address, const std::string& tasks) EXCLUDES(SessionLock);

  // "Working for a[tasks], b[tasks]" or "Unassigned", then " [suspended, N]"
  // while `suspendSeconds` is positive, then the suffix of the coordinator
  // link in `coordinator`.
  std::string StatusText(int suspendSeconds, TCoordinatorState coordinator) const EXCLUDES(SessionLock);

 private:
  // The two lists are parallel.
  mutable TMutex SessionLock;
  std::vector<std::string> Addresses GUARDED_BY(SessionLock);
  std::vector<std::string> Tasks GUARDED_BY(SessionLock);
};
