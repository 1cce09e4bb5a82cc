// SPDX-License-Identifier: Apache-2.0
// TMachineSampler: the status thread's measurements of its machine:
// processor speed and count, computer name, the idle and agent shares of the
// machine's processor capacity, and free memory. Sample() runs on the status
// thread only and refreshes everything at most once per interval (300 ms
// with the system-times source, 2000 ms with the fallback meter).
//
// The numeric measurements are written by the status thread and read by any
// thread without a lock (relaxed atomics: each is a plain value, and readers
// may see two values from different samples). ComputerName() is for the
// status thread only.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/I_Machine.h"
#include "Platform/I_System.h"

class TMachineSampler {
 public:
  enum class TSource { SystemTimes, Meter };

  // Reads the fallback meter; the owner runs it on the main thread.
  using TMeterCall = std::function<std::optional<TMeterReading>()>;

  static constexpr uint32_t kSystemTimesInterval = 300;
  static constexpr uint32_t kMeterInterval = 2000;

  // Chooses the source (system times when they can be read, else the meter)
  // and takes the baseline readings. `machine` and `system` are borrowed.
  TMachineSampler(IMachine& machine, ISystem& system, TMeterCall meter);
  TMachineSampler(const TMachineSampler&) = delete;
  TMachineSampler& operator=(const TMachineSampler&) = delete;

  // Refreshes every measurement when the interval has passed since the last
  // sample; otherwise does nothing. Status thread only.
  void Sample();

  float ProcessorGHz() const { return GHz.load(std::memory_order_relaxed); }
  uint32_t IdlePercent() const { return IdlePercentValue.load(std::memory_order_relaxed); }
  uint32_t AgentPercent() const { return AgentPercentValue.load(std::memory_order_relaxed); }
  uint32_t FreeMemoryMB() const { return FreeMemoryMBValue.load(std::memory_order_relaxed); }
  uint32_t ProcessorCount() const { return Processors.load(std::memory_order_relaxed); }
  const std::string& ComputerName() const { return Name; }

  TSource Source() const { return SamplerSource; }
  uint32_t Interval() const { return SamplerSource == TSource::SystemTimes ? kSystemTimesInterval : kMeterInterval; }

  // The processor speed in GHz for a clock of `clockMHz` and the processor's
  // name: for an AMD name, the first number found in the name that lies
  // strictly between the clock and twice the clock replaces it.
  static float SpeedWithAmdRule(int64_t clockMHz, std::string_view name);

  // Reads an integer leniently from the start of `text`: leading blanks, one
  // sign, "$", "x" or "0x" for hexadecimal, then digits up to the first
  // character that is not one (0 when there is none). A "-" counts only when
  // the whole text was read.
  static int32_t ReadLenientInteger(std::string_view text);

 private:
  struct TReading {
    uint64_t Idle = 0;
    uint64_t Kernel = 0;
    uint64_t User = 0;
  };

  std::optional<TReading> ReadSource();
  void ReadProcessorSpeed();
  void ReadComputerName();

  // Constant after construction.
  IMachine& Machine;  // borrowed
  ISystem& System;    // borrowed
  const TMeterCall Meter;
  TSource SamplerSource = TSource::SystemTimes;

  // Status thread only.
  uint32_t LastSampleTick = 0;
  TReading Previous;
  TProcessTimes PreviousProcess;
  std::string Name;

  // Written by the status thread, read by any thread.
  std::atomic<float> GHz{0};
  std::atomic<uint32_t> IdlePercentValue{0};
  std::atomic<uint32_t> AgentPercentValue{0};
  std::atomic<uint32_t> FreeMemoryMBValue{0};
  std::atomic<uint32_t> Processors{0};
};
