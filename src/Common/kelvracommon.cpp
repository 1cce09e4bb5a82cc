// SPDX-License-Identifier: Apache-2.0
#include "Common/kelvracommon.h"

#include <algorithm>

void NameCurrentThread(ISystem& system, const std::string& name) { system.SetCurrentThreadName(name); }

void CreateDirectoriesForFile(IFileSystem& files, const std::string& path) {
  size_t position = 0;
  for (;;) {
    size_t separator = path.find('/', position);
    if (separator == std::string::npos) return;
    // A run of separators counts as one cut; the prefix ends at its last one.
    size_t end = path.find_first_not_of('/', separator);
    if (end == std::string::npos) end = path.size();
    std::string prefix = path.substr(0, end);
    // A folder that cannot be made shows later, as a file that cannot be.
    if (!files.DirectoryExists(prefix)) static_cast<void>(files.CreateDirectory(prefix));
    position = end;
  }
}

int CountProcessors(ISystem& system) { return std::clamp(system.AvailableProcessors(), 1, 10); }

std::string AssertionText(const char* unit, int line) {
  return "Assertion failure (" + std::string(unit) + ", line " + std::to_string(line) + ")";
}

TStatus AssertionFailure(const char* unit, int line) { return TStatus::Failure("", AssertionText(unit, line)); }

void RaiseAssertionFailure(const char* unit, int line) { throw std::logic_error(AssertionText(unit, line)); }

bool IsSoleHolder(IGenericStream* stream) {
  if (stream == nullptr) return false;
  stream->AddRef();
  return stream->Release() == 1;
}

TStatus CheckSingleHolder(IGenericStream* stream, const char* unit, int line) {
  if (!IsSoleHolder(stream)) return AssertionFailure(unit, line);
  return {};
}

void RequireSingleHolder(IGenericStream* stream, const char* unit, int line) {
  if (!IsSoleHolder(stream)) RaiseAssertionFailure(unit, line);
}
