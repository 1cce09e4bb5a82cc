// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_LinuxSystem.h"

#include <malloc.h>
#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <system_error>
#include <vector>

namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// A base folder of the user's: the variable's value when absolute (the
// base-directory rules ignore a relative one), else the home folder's
// `below` (the home folder from $HOME, else from the password database).
std::string UserBaseFolder(const char* variable, const char* below) {
  std::string data = Environment(variable);
  if (!data.empty() && data.front() == '/') return WithoutTrailingSeparators(data);
  std::string home = Environment("HOME");
  if (home.empty()) {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr)
      home = found->pw_dir;
  }
  if (home.empty()) return "";
  return WithoutTrailingSeparators(home) + below;
}

}  // namespace

std::string TLinuxSystem::DataHome() { return UserBaseFolder("XDG_DATA_HOME", "/.local/share"); }

std::string TLinuxSystem::StateHome() { return UserBaseFolder("XDG_STATE_HOME", "/.local/state"); }

int TLinuxSystem::AvailableProcessors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
  long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 0;
}

std::string TLinuxSystem::ExecutablePath() {
  char path[PATH_MAX];
  ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return "";
  return std::string(path, static_cast<size_t>(length));
}

TStatus TLinuxSystem::CreateThread(const std::string& name, std::function<void()> body, std::thread& thread) {
  // std::thread reports the system's refusal only by raising it.
  try {
    thread = std::thread(std::move(body));
  } catch (const std::system_error& refused) {
    return TStatus::FromErrno(refused.code().value(), "cannot make thread " + name);
  }
  return {};
}

void TLinuxSystem::SetCurrentThreadName(const std::string& name) {
  // The kernel keeps 15 bytes and a terminating zero.
  std::string cut = name.substr(0, 15);
  ::pthread_setname_np(::pthread_self(), cut.c_str());
}

TSystemThreadId TLinuxSystem::CurrentThreadId() { return static_cast<TSystemThreadId>(::gettid()); }

int TLinuxSystem::NiceValue(TThreadPriority priority) {
  switch (priority) {
    case tpLowest:
      return 10;
    case tpAboveNormal:
      return -5;
    case tpIdle:
    case tpNormal:
      break;
  }
  return 0;
}

TStatus TLinuxSystem::SetThreadPriority(TSystemThreadId thread, TThreadPriority priority) {
  const auto refused = [thread] {
    return TStatus::FromErrno(errno, "cannot change the priority of thread " + std::to_string(thread));
  };
  // Both calls act on one thread when given its kernel id.
  struct sched_param none {};
  if (priority == tpIdle) return ::sched_setscheduler(thread, SCHED_IDLE, &none) == 0 ? TStatus() : refused();
  const int policy = ::sched_getscheduler(thread);
  if (policy < 0) return refused();
  // Leaving SCHED_IDLE needs the right to raise the thread's priority.
  if (policy != SCHED_OTHER && ::sched_setscheduler(thread, SCHED_OTHER, &none) != 0) return refused();
  if (::setpriority(PRIO_PROCESS, static_cast<id_t>(thread), NiceValue(priority)) != 0) return refused();
  return {};
}

uint32_t TLinuxSystem::ProcessAffinityMask() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return 0;
  uint32_t mask = 0;
  for (int processor = 0; processor < 32; ++processor)
    if (CPU_ISSET(processor, &set)) mask |= uint32_t{1} << processor;
  return mask;
}

TStatus TLinuxSystem::SetThreadAffinityMask(TSystemThreadId thread, uint32_t mask) {
  const std::string context = "cannot pin thread " + std::to_string(thread);
  if (mask == 0) return TStatus::FromErrno(EINVAL, context);
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int processor = 0; processor < 32; ++processor)
    if ((mask >> processor) & 1) CPU_SET(processor, &set);
  // The kernel call behind pthread_setaffinity_np, addressed by the thread
  // id the agent keeps for every thread whose settings it changes.
  if (::sched_setaffinity(thread, sizeof set, &set) != 0) return TStatus::FromErrno(errno, context);
  return {};
}

void TLinuxSystem::ReleaseFreeMemory() { ::malloc_trim(0); }
