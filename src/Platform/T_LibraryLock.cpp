#include "Platform/T_LibraryLock.h"

#include <stdexcept>

TLibraryLock::TLibraryLock() {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  int error = pthread_mutex_init(&Mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  if (error != 0) throw std::runtime_error("Unable to create the library lock");
}

TLibraryLock::~TLibraryLock() { pthread_mutex_destroy(&Mutex); }
