// SPDX-License-Identifier: Apache-2.0
#include "Platform/ProcessSetup.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <initializer_list>

void EnsureStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) continue;
    // open() answers the lowest free number, which is `fd` here; anything
    // else means 0..2 are now taken and the extra one is not ours to keep.
    int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened > 2) ::close(opened);
  }
}

int RaiseOpenFilesLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    (void)::setrlimit(RLIMIT_NOFILE, &limit);
    (void)::getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur > 0x7fffffff ? 0x7fffffff : static_cast<int>(limit.rlim_cur);
}

void IgnoreBrokenPipe() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGPIPE, &action, nullptr);
}

void FollowTheAgent(int agentId) {
  // The name ps, top and pgrep show: one session of the agent.
  ::prctl(PR_SET_NAME, "kelvra-session");
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != agentId) ::_exit(1);
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  for (int number : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(number, &action, nullptr);
  // Should the machine run out of memory all the same, the kernel ends a
  // session before the agent (best effort: raising the score needs no
  // privilege).
  const int score = ::open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC);
  if (score >= 0) {
    [[maybe_unused]] const ssize_t written = ::write(score, "500", 3);
    ::close(score);
  }
}

void KeepLargeBlocksOnTheHeap(unsigned long bytes, unsigned long keepBytes) {
  ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(bytes));
  ::mallopt(M_TRIM_THRESHOLD, static_cast<int>(keepBytes));
}
