// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_LinuxMachine.h"

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

#include "Platform/T_LinuxFileSystem.h"

namespace {

constexpr uint64_t kHundredNsPerSecond = 10'000'000;

std::string_view TrimBlanks(std::string_view text) {
  size_t first = text.find_first_not_of(" \t\n\r");
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(" \t\n\r");
  return text.substr(first, last - first + 1);
}

// Reads the unsigned numbers of `text` separated by blanks, in order.
std::vector<uint64_t> Numbers(std::string_view text) {
  std::vector<uint64_t> numbers;
  const char* next = text.data();
  const char* end = text.data() + text.size();
  while (next < end) {
    while (next < end && (*next == ' ' || *next == '\t')) ++next;
    uint64_t value = 0;
    auto [ptr, error] = std::from_chars(next, end, value);
    if (error != std::errc()) break;
    numbers.push_back(value);
    next = ptr;
  }
  return numbers;
}

// Seconds with a fractional part ("12345.67") in 100-nanosecond units,
// without the process locale.
std::optional<uint64_t> SecondsToHundredNs(std::string_view text) {
  double seconds = 0;
  auto [ptr, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (error != std::errc() || seconds < 0) return std::nullopt;
  return static_cast<uint64_t>(seconds * static_cast<double>(kHundredNsPerSecond));
}

uint64_t TimevalToHundredNs(const timeval& value) {
  return static_cast<uint64_t>(value.tv_sec) * kHundredNsPerSecond + static_cast<uint64_t>(value.tv_usec) * 10;
}

}  // namespace

bool TLinuxMachine::Read(const std::string& path, std::string& content) const {
  TLinuxFileSystem files;
  return files.ReadFile(Root + path, content).Ok();
}

uint32_t TLinuxMachine::TickCount() {
  timespec now {};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1'000'000;
  return static_cast<uint32_t>(ms);
}

std::optional<TSystemTimes> TLinuxMachine::ReadSystemTimes() {
  std::string stat;
  if (!Read("/proc/stat", stat) || stat.rfind("cpu ", 0) != 0) return std::nullopt;
  std::string_view line = std::string_view(stat).substr(4, stat.find('\n') - 4);
  // user nice system idle iowait irq softirq steal ...
  std::vector<uint64_t> ticks = Numbers(line);
  if (ticks.size() < 4) return std::nullopt;
  ticks.resize(8, 0);
  long perSecond = ::sysconf(_SC_CLK_TCK);
  if (perSecond <= 0) perSecond = 100;
  auto toHundredNs = [perSecond](uint64_t value) {
    return value * kHundredNsPerSecond / static_cast<uint64_t>(perSecond);
  };
  TSystemTimes times;
  times.Idle = toHundredNs(ticks[3] + ticks[4]);
  times.Kernel = toHundredNs(ticks[2] + ticks[5] + ticks[6] + ticks[7] + ticks[3] + ticks[4]);
  times.User = toHundredNs(ticks[0] + ticks[1]);
  return times;
}

TProcessTimes TLinuxMachine::ReadProcessTimes() {
  // The agent's work is its own process's and its session processes': those
  // still running (their /proc/<pid>/stat), and those ended and reaped.
  TProcessTimes times;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage usage {};
    ::getrusage(who, &usage);
    times.Kernel += TimevalToHundredNs(usage.ru_stime);
    times.User += TimevalToHundredNs(usage.ru_utime);
  }
  long perSecond = ::sysconf(_SC_CLK_TCK);
  if (perSecond <= 0) perSecond = 100;
  std::error_code ignored;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ignored)) {
    std::string children;
    if (!Read((task.path() / "children").string(), children)) continue;
    for (uint64_t child : Numbers(children)) {
      std::string stat;
      if (!Read("/proc/" + std::to_string(child) + "/stat", stat)) continue;
      // After the name in parentheses: the state, then ten numbers (some
      // may be negative), then utime and stime.
      const size_t nameEnd = stat.rfind(')');
      if (nameEnd == std::string::npos) continue;
      std::istringstream fields(stat.substr(nameEnd + 1));
      std::string state;
      int64_t skipped = 0;
      uint64_t user = 0, kernel = 0;
      fields >> state;
      for (int i = 0; i < 10; ++i) fields >> skipped;
      if (!(fields >> user >> kernel)) continue;
      times.User += user * kHundredNsPerSecond / static_cast<uint64_t>(perSecond);
      times.Kernel += kernel * kHundredNsPerSecond / static_cast<uint64_t>(perSecond);
    }
  }
  return times;
}

std::optional<TMeterReading> TLinuxMachine::ReadMeter() {
  std::string uptime;
  if (!Read("/proc/uptime", uptime)) return std::nullopt;
  std::string_view text = TrimBlanks(uptime);
  size_t blank = text.find(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  std::optional<uint64_t> idle = SecondsToHundredNs(TrimBlanks(text.substr(blank + 1)));
  long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (!idle || online <= 0) return std::nullopt;
  return TMeterReading{*idle / static_cast<uint64_t>(online), uint64_t{TickCount()} * 10000};
}

std::optional<uint64_t> TLinuxMachine::AvailableMemory() {
  std::string meminfo;
  if (!Read("/proc/meminfo", meminfo)) return std::nullopt;
  size_t at = meminfo.find("MemAvailable:");
  if (at == std::string::npos) return std::nullopt;
  std::vector<uint64_t> kilobytes = Numbers(std::string_view(meminfo).substr(at + 13));
  if (kilobytes.empty()) return std::nullopt;
  return kilobytes[0] * 1024;
}

std::optional<std::string> TLinuxMachine::CpuInfoField(const std::string& field) const {
  std::string cpuinfo;
  if (!Read("/proc/cpuinfo", cpuinfo)) return std::nullopt;
  std::string_view rest = cpuinfo;
  // Only the first processor's block: up to the first blank line.
  rest = rest.substr(0, rest.find("\n\n"));
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    size_t colon = line.find(':');
    if (colon != std::string_view::npos && TrimBlanks(line.substr(0, colon)) == field)
      return std::string(TrimBlanks(line.substr(colon + 1)));
  }
  return std::nullopt;
}

std::optional<int64_t> TLinuxMachine::ProcessorMHz() {
  std::string khz;
  if (Read("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq", khz)) {
    std::vector<uint64_t> value = Numbers(TrimBlanks(khz));
    if (!value.empty() && value[0] > 0) return static_cast<int64_t>(value[0] / 1000);
  }
  std::optional<std::string> mhz = CpuInfoField("cpu MHz");
  if (!mhz) return std::nullopt;
  double value = 0;
  auto [ptr, error] = std::from_chars(mhz->data(), mhz->data() + mhz->size(), value);
  if (error != std::errc() || value <= 0) return std::nullopt;
  return static_cast<int64_t>(std::llround(value));
}

std::string TLinuxMachine::ProcessorName() { return CpuInfoField("model name").value_or(""); }

std::string TLinuxMachine::ComputerName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}
