// SPDX-License-Identifier: Apache-2.0
// TLinuxMachine: IMachine from /proc, /sys, getrusage, gethostname and
// CLOCK_MONOTONIC. Stateless; one process-wide instance serves every thread.
// The file locations can be redirected for tests.
#pragma once

#include <string>

#include "Platform/I_Machine.h"

class TLinuxMachine : public IMachine {
 public:
  // `root` is prefixed to every /proc and /sys path ("" for the real ones).
  explicit TLinuxMachine(std::string root = "") : Root(std::move(root)) {}

  uint32_t TickCount() override;
  std::optional<TSystemTimes> ReadSystemTimes() override;
  TProcessTimes ReadProcessTimes() override;
  std::optional<TMeterReading> ReadMeter() override;
  std::optional<uint64_t> AvailableMemory() override;
  std::optional<int64_t> ProcessorMHz() override;
  std::string ProcessorName() override;
  std::string ComputerName() override;

 private:
  bool Read(const std::string& path, std::string& content) const;
  // The value of `field` of the first processor in cpuinfo; none if absent.
  std::optional<std::string> CpuInfoField(const std::string& field) const;

  const std::string Root;
};
