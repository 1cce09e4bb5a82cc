// SPDX-License-Identifier: Apache-2.0
#include "Platform/TaskFloatingPoint.h"

#include <cfenv>

void LoadTaskFloatingPoint() noexcept {
#if defined(__x86_64__)
  uint16_t control = kTaskX87ControlWord;
  uint32_t sse = kTaskMxcsr;
  // fnclex first: a pending x87 exception must not fire on the next
  // instruction once its mask changes.
  asm volatile("fnclex\n\tfldcw %0" : : "m"(control));
  asm volatile("ldmxcsr %0" : : "m"(sse));
#else
  std::fesetenv(FE_DFL_ENV);
#if defined(__GLIBC__)
  fedisableexcept(FE_ALL_EXCEPT);
#endif
#endif
}
