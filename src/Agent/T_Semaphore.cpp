#include "Agent/T_Semaphore.h"

int TSemaphore::Release(int count) {
  int previous = -1;
  return Semaphore.Release(count, &previous) ? previous : -1;
}
