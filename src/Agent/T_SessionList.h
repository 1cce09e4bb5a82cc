// SPDX-License-Identifier: Apache-2.0
// TSessionList: the users the agent works for, each with its session's
// task list, and the one-line status text built from them. Lobby threads
// add and remove sessions; each session's worker registers itself as the
// source of its task list, which is asked only when the status text is
// formed (about once a second), so that tasks coming and going cost the
// list nothing. The status thread, the window and the headless runner read
// the text; every call may come from any thread.
//
// Sessions of one address share one line, as the status text has always
// shown them: the first entry of an address shows the task list of whichever
// of that address's sessions reported a change last; the others show their
// own text (empty unless set).
//
// Lock order (Agent/LockOrder.h): the session lock is held while the
// sources are asked, so a source's locks come after it; a source is never
// asked after its registration has ended.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "Agent/I_TaskListSource.h"
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
  // Removes the last session with exactly this address, if any. True when
  // no session is left.
  bool RemoveSession(const std::string& address) EXCLUDES(SessionLock);
  // Replaces the task list of the first session with this address (letter
  // case ignored), if any: the text shown while no source stands for it.
  void SetSessionTasks(const std::string& address, const std::string& tasks) EXCLUDES(SessionLock);

  // A session's source of its task list, registered for the object's life
  // (`sessions` and `source` borrowed for as long). Of the sources of one
  // address (letter case ignored), the one whose NoteReport came last stands
  // for the first session of that address. Once the destructor has
  // returned the source is not asked any more.
  class TTaskListRegistration {
   public:
    TTaskListRegistration(TSessionList& sessions, const std::string& address, ITaskListSource& source);
    ~TTaskListRegistration();
    TTaskListRegistration(const TTaskListRegistration&) = delete;
    TTaskListRegistration& operator=(const TTaskListRegistration&) = delete;

    // The session's task list changed (a task came, left for the pool or
    // finished). Any thread; takes no lock.
    void NoteReport() {
      LastReport.store(Sessions.ReportCount.fetch_add(1, std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }

   private:
    friend class TSessionList;
    TSessionList& Sessions;   // borrowed
    ITaskListSource& Source;  // borrowed
    // The number of this session's latest report, 0 before the first; read
    // under the session lock, written by any thread: only its order among
    // the sessions of one address matters, so relaxed suffices.
    std::atomic<uint64_t> LastReport{0};
  };

  // "Working for a[tasks], b[tasks]" or "Unassigned", then " [suspended, N]"
  // while `suspendSeconds` is positive, then the suffix of the coordinator
  // link in `coordinator`. Asks the registered sources, under the session
  // lock.
  std::string StatusText(int suspendSeconds, TCoordinatorState coordinator) const EXCLUDES(SessionLock);
  // The task list the status text shows for the first session; empty when
  // there is none. (A session process answers the agent with it.)
  std::string FirstTaskList() const EXCLUDES(SessionLock);

 private:
  struct TSource {
    std::string Address;
    const TTaskListRegistration* Registration;  // borrowed while registered
  };

  void AddSource(const std::string& address, const TTaskListRegistration& registration) EXCLUDES(SessionLock);
  void RemoveSource(const TTaskListRegistration& registration) EXCLUDES(SessionLock);
  // The task list shown for session `index`: for the first entry of its
  // address, the latest reporter's; else its text.
  std::string TasksOfLocked(size_t index) const REQUIRES(SessionLock);

  mutable TMutex SessionLock;
  // The two lists are parallel.
  std::vector<std::string> Addresses GUARDED_BY(SessionLock);
  std::vector<std::string> Tasks GUARDED_BY(SessionLock);
  // In the order of registration.
  std::vector<TSource> Sources GUARDED_BY(SessionLock);
  // Numbers the reports of every session; any thread, relaxed.
  std::atomic<uint64_t> ReportCount{0};
};
