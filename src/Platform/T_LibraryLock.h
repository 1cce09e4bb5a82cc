// SPDX-License-Identifier: Apache-2.0
// TLibraryLock: the recursive lock the agent hands to task libraries as
// their global lock. The agent never takes it; a task library takes and
// releases it through the address it is given and never destroys it.
//
// With sessions in processes of their own the lock is one for all of them:
// it lives in memory shared with every session process (placed there by the
// agent), process-shared and robust, so that a holder that dies releases
// it. The next task to take it then gets EOWNERDEAD and holds it; the agent
// mends the lock (Mend) as soon as it learns that a session process ended,
// so a task that ignores that answer finds a working lock afterwards.
#pragma once

#include <pthread.h>

class TLibraryLock {
 public:
  // `processShared`: a lock for every process that maps the memory it lies in.
  explicit TLibraryLock(bool processShared = false);
  ~TLibraryLock();
  TLibraryLock(const TLibraryLock&) = delete;
  TLibraryLock& operator=(const TLibraryLock&) = delete;

  // The address of an initialised recursive pthread_mutex_t.
  void* Address() { return &Mutex; }

  // After a process that may have held the lock has ended: a lock its dead
  // holder left is made consistent and released; one left unrecoverable (a
  // task released it without making it consistent) is made anew. A lock a
  // live holder has is left alone.
  void Mend();

 private:
  void Initialise();

  const bool ProcessShared;
  pthread_mutex_t Mutex;
};
