// SPDX-License-Identifier: Apache-2.0
// Thread priority and affinity on this machine, each on a thread of its own
// that ends with the test, so nothing it changes outlives it.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <thread>

#include "Platform/T_LinuxSystem.h"

namespace {

template <typename TBody>
void OnNewThread(TBody body) {
  std::thread thread(body);
  thread.join();
}

int NiceOf(TSystemThreadId thread) {
  errno = 0;
  return ::getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
}

}  // namespace

TEST(TLinuxSystem, PrioritiesAreNiceValuesOrTheIdlePolicy) {
  OnNewThread([] {
    TLinuxSystem system;
    const TSystemThreadId self = system.CurrentThreadId();
    EXPECT_EQ(self, ::gettid());
    const int before = NiceOf(self);
    if (before <= 10) {  // lowering is always allowed
      ASSERT_TRUE(system.SetThreadPriority(self, tpLowest));
      EXPECT_EQ(NiceOf(self), 10);
    }
    ASSERT_TRUE(system.SetThreadPriority(self, tpIdle));
    EXPECT_EQ(::sched_getscheduler(self), SCHED_IDLE);
    // Raising needs a privilege: either done fully or not at all.
    if (system.SetThreadPriority(self, tpAboveNormal)) {
      EXPECT_EQ(::sched_getscheduler(self), SCHED_OTHER);
      EXPECT_EQ(NiceOf(self), -5);
      EXPECT_TRUE(system.SetThreadPriority(self, tpNormal));
      EXPECT_EQ(NiceOf(self), 0);
    } else {
      EXPECT_EQ(::sched_getscheduler(self), SCHED_IDLE);
    }
  });
}

TEST(TLinuxSystem, AffinityMaskAndPinningOneThread) {
  TLinuxSystem system;
  cpu_set_t set;
  ASSERT_EQ(::sched_getaffinity(0, sizeof set, &set), 0);
  uint32_t expected = 0;
  for (int processor = 0; processor < 32; ++processor)
    if (CPU_ISSET(processor, &set)) expected |= uint32_t{1} << processor;
  const uint32_t mask = system.ProcessAffinityMask();
  EXPECT_EQ(mask, expected);
  if (mask == 0) GTEST_SKIP() << "none of processors 0..31 is allowed";
  const uint32_t lowest = mask & (~mask + 1);
  OnNewThread([&] {
    const TSystemThreadId self = system.CurrentThreadId();
    EXPECT_FALSE(system.SetThreadAffinityMask(self, 0));
    ASSERT_TRUE(system.SetThreadAffinityMask(self, lowest));
    cpu_set_t pinned;
    ASSERT_EQ(::sched_getaffinity(self, sizeof pinned, &pinned), 0);
    EXPECT_EQ(CPU_COUNT(&pinned), 1);
    EXPECT_TRUE(CPU_ISSET(__builtin_ctz(lowest), &pinned));
  });
}
