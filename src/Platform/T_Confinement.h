// (placeholder until the confinement unit lands)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Platform/T_Status.h"

struct TConfinementRules {
  std::vector<std::string> ReadPaths;
  std::vector<std::string> WritePaths;
  std::vector<std::string> DropPaths;
  std::vector<uint16_t> ConnectPorts;
  bool AllowNetwork = false;
  bool AllowExec = false;
  uint64_t MemoryLimitBytes = 0;
};

class TConfinement {
 public:
  static std::string Describe() { return "none"; }
  static uint64_t DefaultMemoryLimitMiB() { return 1024; }
  static TStatus ApplyFilesAndMemory(const TConfinementRules&, std::string&) { return {}; }
  static TStatus ApplySystemCalls(const TConfinementRules&, std::string&) { return {}; }
};
