// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_LibraryLock.h"

#include <cerrno>
#include <stdexcept>

TLibraryLock::TLibraryLock(bool processShared) : ProcessShared(processShared) { Initialise(); }

TLibraryLock::~TLibraryLock() { pthread_mutex_destroy(&Mutex); }

void TLibraryLock::Initialise() {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  if (ProcessShared) {
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  }
  int error = pthread_mutex_init(&Mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  if (error != 0) throw std::runtime_error("Unable to create the library lock");
}

void TLibraryLock::Mend() {
  if (!ProcessShared) return;
  switch (pthread_mutex_trylock(&Mutex)) {
    case EOWNERDEAD:
      pthread_mutex_consistent(&Mutex);
      pthread_mutex_unlock(&Mutex);
      break;
    case ENOTRECOVERABLE:
      // Nobody can hold an unrecoverable lock: it is made anew in place.
      pthread_mutex_destroy(&Mutex);
      Initialise();
      break;
    case 0:
      pthread_mutex_unlock(&Mutex);
      break;
    default:  // held by a live process
      break;
  }
}
