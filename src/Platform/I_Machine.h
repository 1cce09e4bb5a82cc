// SPDX-License-Identifier: Apache-2.0
// IMachine: the raw readings the status thread takes of its machine: the
// millisecond tick, system and process processor times, the fallback meter's
// counter, free memory, and the processor's and computer's names. Any
// thread may call any method; each reading is taken fresh.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Processor times in 100-nanosecond units, summed over all processors.
struct TSystemTimes {
  uint64_t Idle = 0;
  uint64_t Kernel = 0;  // includes the idle time
  uint64_t User = 0;
};

struct TProcessTimes {
  uint64_t Kernel = 0;
  uint64_t User = 0;
};

// The fallback meter: a cumulative idle counter and its time stamp, both in
// 100-nanosecond units.
struct TMeterReading {
  uint64_t Counter = 0;
  uint64_t Stamp = 0;
};

class IMachine {
 public:
  virtual ~IMachine() = default;

  // Milliseconds of a monotonic clock, truncated to 32 bits: it wraps after
  // about 49.7 days, so two ticks are compared by their difference only.
  virtual uint32_t TickCount() = 0;

  // None when the system-times source cannot be read.
  virtual std::optional<TSystemTimes> ReadSystemTimes() = 0;

  // This process's kernel and user times (all its threads).
  virtual TProcessTimes ReadProcessTimes() = 0;

  // None when the meter's source cannot be read.
  virtual std::optional<TMeterReading> ReadMeter() = 0;

  // Available physical memory in bytes; none when unknown.
  virtual std::optional<uint64_t> AvailableMemory() = 0;

  // Processor 0's clock in MHz; none when unknown.
  virtual std::optional<int64_t> ProcessorMHz() = 0;

  // Processor 0's model name; empty when unknown.
  virtual std::string ProcessorName() = 0;

  // The machine's name; empty when unknown.
  virtual std::string ComputerName() = 0;
};
