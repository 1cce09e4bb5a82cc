// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_CrashReports.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Agent/T_AgentContext.h"
#include "Common/Sha256.h"
#include "Common/T_DebugLog.h"
#include "Platform/CodeLocation.h"

namespace {

constexpr const char* kOwnFolder = "kelvra/crashes";
constexpr const char* kPrefix = "crash-";
constexpr const char* kSuffix = ".txt";

// A text the user gave (a name from the task library, an exception's
// message) as the debug log shows it: no control byte in it can end a line
// of the report, and a very long one is cut.
std::string UserLine(std::string_view text) {
  std::string line;
  TDebugLog::AppendUserText(line, text);
  return line;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

const char* SignalName(int number) {
  switch (number) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
  }
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%016" PRIX64, value);
  return text;
}

// "2026-12-07 20:01:02 UTC" to read, "20261207-200102" for a file name
// (the names then sort as the times do).
std::string Stamp(std::time_t now, bool forName) {
  std::tm parts{};
  ::gmtime_r(&now, &parts);
  char text[32];
  if (forName)
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &parts);
  else
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

bool IsReport(const std::string& name) {
  return name.rfind(kPrefix, 0) == 0 && name.size() > std::strlen(kSuffix) &&
         name.compare(name.size() - std::strlen(kSuffix), std::string::npos, kSuffix) == 0;
}

// Deletes the oldest reports beyond kKept (the names sort by time).
void Prune(const TPlatform& platform, const std::string& folder) {
  std::vector<std::string> names;
  if (!platform.Files->ListFolder(folder, names).Ok()) return;
  names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& name) { return !IsReport(name); }),
              names.end());
  if (names.size() <= TCrashReports::kKept) return;
  std::sort(names.begin(), names.end());
  for (size_t index = 0; index + TCrashReports::kKept < names.size(); ++index)
    (void)platform.Files->RemoveFile(folder + "/" + names[index]);  // another agent may have taken it first
}

}  // namespace

std::string TCrashReports::Folder(const TPlatform& platform) {
  const std::string state = platform.System->StateHome();
  return state.empty() ? "" : state + "/" + kOwnFolder;
}

TStatus TCrashReports::MakeFolder(const TPlatform& platform) {
  const std::string state = platform.System->StateHome();
  if (state.empty()) return TStatus::Failure("cannot write a crash report", "no state folder");
  return platform.Files->CreateOwnFolders(state, kOwnFolder);
}

std::string TCrashReports::Text(const TCrashFacts& facts, std::time_t now) {
  std::string text = "kelvra crash report\n";
  text += "time: " + Stamp(now, false) + "\n";
  text += "user: " + facts.UserAddress + "\n";
  text += "task: " + std::to_string(facts.TaskId) + "\n";
  text += "procedure: " + UserLine(facts.Procedure) + "\n";
  text += "library: " + UserLine(BaseName(facts.LibraryPath)) + "\n";
  text += "library sha256: " + facts.LibrarySha256 + "\n";
  text += "fault: " + UserLine(facts.FaultText) + "\n";
  text += "signal: " + std::to_string(facts.Fault.Signal) + " (" + SignalName(facts.Fault.Signal) + "), code " +
          std::to_string(facts.Fault.Code) + "\n";
  text += "fault address: " + Hex(facts.Fault.Address) + "\n";
  text += "registers:\n";
  for (const auto& [name, value] : facts.Fault.Registers) text += "  " + std::string(name) + " " + Hex(value) + "\n";
  text += "backtrace:\n";
  for (size_t index = 0; index < facts.Fault.Frames.size(); ++index) {
    // A caller's frame holds a return address: the call lies just before.
    const uintptr_t address = facts.Fault.Frames[index];
    const TCodeLocation location = LocateCode(address, index == 0 ? address : address - 1);
    text += "  #" + std::to_string(index) + " " + UserLine(DescribeCode(location, address)) + "\n";
  }
  return text;
}

TStatus TCrashReports::Write(const TPlatform& platform, TCrashFacts facts, std::time_t now, std::string& path) {
  static std::atomic<uint32_t> sequence{0};
  if (TStatus made = MakeFolder(platform); !made.Ok()) return made;
  const std::string state = platform.System->StateHome();
  if (facts.LibrarySha256.empty() && !facts.LibraryPath.empty()) {
    std::string content;
    if (platform.Files->ReadFile(facts.LibraryPath, content).Ok()) facts.LibrarySha256 = Sha256Hex(content);
  }
  const std::string folder = state + "/" + kOwnFolder;
  char unique[48];
  std::snprintf(unique, sizeof unique, "-%06" PRIu32 "-task%" PRIu32, sequence.fetch_add(1) % 1000000, facts.TaskId);
  path = folder + "/" + kPrefix + Stamp(now, true) + unique + kSuffix;
  if (TStatus written = platform.Files->ReplaceFile(path, Text(facts, now), 0600); !written.Ok()) return written;
  Prune(platform, folder);
  return {};
}

void TCrashReports::WriteAndLog(const TAgentContext& context, TCrashFacts facts, const void* procedure,
                                const std::string& subject) {
  facts.LibraryPath = LocateCode(reinterpret_cast<uintptr_t>(procedure)).ModulePath;
  std::string path;
  const TStatus written = Write(context.Platform(), std::move(facts), std::time(nullptr), path);
  if (written.Ok())
    context.DebugWrite("%s: %s", std::string_view(subject), UserText(path));
  else
    context.DebugWrite("%s not written: %s", std::string_view(subject), UserText(written.Text()));
}
