// TLibraryLock: the recursive lock the agent hands to task libraries as
// their global lock. The agent never takes it; a task library takes and
// releases it through the address it is given and never destroys it.
#pragma once

#include <pthread.h>

class TLibraryLock {
 public:
  TLibraryLock();
  ~TLibraryLock();
  TLibraryLock(const TLibraryLock&) = delete;
  TLibraryLock& operator=(const TLibraryLock&) = delete;

  // The address of an initialised recursive pthread_mutex_t.
  void* Address() { return &Mutex; }

 private:
  pthread_mutex_t Mutex;
};
