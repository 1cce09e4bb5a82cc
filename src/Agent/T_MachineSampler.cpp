// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_MachineSampler.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "Common/kelvracommon.h"

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 64-bit quotient stored as its low 32 bits.
uint32_t Low32(int64_t value) { return static_cast<uint32_t>(static_cast<uint64_t>(value)); }

}  // namespace

TMachineSampler::TMachineSampler(IMachine& machine, ISystem& system, TMeterCall meter)
    : Machine(machine), System(system), Meter(std::move(meter)) {
  SamplerSource = Machine.ReadSystemTimes() ? TSource::SystemTimes : TSource::Meter;
  LastSampleTick = Machine.TickCount();
  if (std::optional<TReading> baseline = ReadSource()) Previous = *baseline;
  PreviousProcess = Machine.ReadProcessTimes();
}

std::optional<TMachineSampler::TReading> TMachineSampler::ReadSource() {
  if (SamplerSource == TSource::SystemTimes) {
    std::optional<TSystemTimes> times = Machine.ReadSystemTimes();
    if (!times) return std::nullopt;
    return TReading{times->Idle, times->Kernel, times->User};
  }
  std::optional<TMeterReading> meter = Meter ? Meter() : std::nullopt;
  if (!meter) return std::nullopt;
  // The meter's time stamp stands for the idle time, its counter for the
  // user time; there is no kernel time.
  return TReading{meter->Stamp, 0, meter->Counter};
}

void TMachineSampler::Sample() {
  uint32_t now = Machine.TickCount();
  if (now - LastSampleTick < Interval()) return;  // unsigned difference: wrap-safe
  LastSampleTick = now;

  const auto count = static_cast<uint32_t>(CountProcessors(System));
  Processors.store(count, std::memory_order_relaxed);

  std::optional<TReading> reading = ReadSource();
  int64_t onePercent = 1;
  if (reading) {
    if (SamplerSource == TSource::SystemTimes) {
      int64_t total = static_cast<int64_t>(reading->Kernel - Previous.Kernel) +
                      static_cast<int64_t>(reading->User - Previous.User);
      auto idle = static_cast<int64_t>(reading->Idle - Previous.Idle);
      onePercent = std::max<int64_t>(total / 100, 1);
      IdlePercentValue.store(Low32(100 - (total - idle) / onePercent), std::memory_order_relaxed);
    } else {
      auto counter = static_cast<int64_t>(reading->User - Previous.User);
      auto base = static_cast<int64_t>(reading->Idle - Previous.Idle);
      onePercent = std::max<int64_t>(base / 100, 1);
      IdlePercentValue.store(Low32(counter / onePercent), std::memory_order_relaxed);
      onePercent = std::max<int64_t>(onePercent * count, 1);
    }
    Previous = *reading;

    TProcessTimes process = Machine.ReadProcessTimes();
    int64_t used = static_cast<int64_t>(process.Kernel - PreviousProcess.Kernel) +
                   static_cast<int64_t>(process.User - PreviousProcess.User);
    AgentPercentValue.store(Low32(used / onePercent), std::memory_order_relaxed);
    PreviousProcess = process;
  }

  if (std::optional<uint64_t> bytes = Machine.AvailableMemory()) {
    uint64_t mib = *bytes >> 20;
    FreeMemoryMBValue.store(static_cast<uint32_t>(std::min<uint64_t>(mib, std::numeric_limits<uint32_t>::max())),
                            std::memory_order_relaxed);
  }
  ReadComputerName();
  ReadProcessorSpeed();
}

void TMachineSampler::ReadComputerName() { Name = Machine.ComputerName(); }

void TMachineSampler::ReadProcessorSpeed() {
  // A missing speed keeps the last known one.
  std::optional<int64_t> clock = Machine.ProcessorMHz();
  if (!clock) return;
  GHz.store(SpeedWithAmdRule(*clock, Machine.ProcessorName()), std::memory_order_relaxed);
}

float TMachineSampler::SpeedWithAmdRule(int64_t clockMHz, std::string_view name) {
  float ghz = static_cast<float>(clockMHz) / 1000.0f;
  std::string upper(name);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  if (upper.find("AMD") == std::string::npos) return ghz;
  const double low = static_cast<double>(ghz) * 1000.0;
  const double high = 2.0 * static_cast<double>(ghz) * 1000.0;
  for (size_t i = 0; i < upper.size(); ++i) {
    int32_t value = ReadLenientInteger(std::string_view(upper).substr(i, 1000));
    if (low < value && value < high) return static_cast<float>(value) / 1000.0f;
  }
  return ghz;
}

int32_t TMachineSampler::ReadLenientInteger(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  bool hex = false;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  int64_t value = 0;
  bool whole = true;
  for (; i < text.size(); ++i) {
    int digit = hex ? HexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
    int64_t next = value * (hex ? 16 : 10) + digit;
    // An overflow ends the number like any character that is not a digit.
    if (digit < 0 || next > std::numeric_limits<int32_t>::max()) {
      whole = false;
      break;
    }
    value = next;
  }
  return static_cast<int32_t>(negative && whole ? -value : value);
}
