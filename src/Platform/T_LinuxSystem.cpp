#include "Platform/T_LinuxSystem.h"

#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
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

}  // namespace

std::string TLinuxSystem::DataHome() {
  std::string data = Environment("XDG_DATA_HOME");
  // The base-directory rules ignore a relative XDG_DATA_HOME.
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
  return WithoutTrailingSeparators(home) + "/.local/share";
}

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

void TLinuxSystem::SetCurrentThreadName(const std::string& name) {
  // The kernel keeps 15 bytes and a terminating zero.
  std::string cut = name.substr(0, 15);
  ::pthread_setname_np(::pthread_self(), cut.c_str());
}
