// SPDX-License-Identifier: Apache-2.0
// The settings file: any text is read without harm, by the profile reader
// and by the agent's settings (refusals are errors, never faults); writing a
// key changes one line or adds lines, keeping every other byte, and the
// key then reads back as written. The coordinator's address written back
// into the file (as a broadcast makes the agent do) obeys the same rule.
#include <fuzzer/FuzzedDataProvider.h>

#include <exception>
#include <string>

#include "Agent/T_AgentConfig.h"
#include "Common/T_IniFile.h"
#include "FuzzSupport.h"
#include "Platform/T_LinuxFileSystem.h"
#include "Platform/T_LinuxSystem.h"

namespace {

// The settings file in memory; every other file does not exist.
class TMemoryFiles : public TLinuxFileSystem {
 public:
  static constexpr const char* kPath = "/fuzz/kelvra.INI";
  std::string Text;
  TStatus ReadFile(const std::string& path, std::string& content) override {
    if (path != kPath) return TStatus::FromErrno(ENOENT, "cannot read " + path);
    content = Text;
    return {};
  }
  TStatus WriteFile(const std::string& path, std::string_view content) override {
    if (path != kPath) return TStatus::Failure("cannot write " + path, "not in memory");
    Text = content;
    return {};
  }
  bool Exists(const std::string& path) override { return path == kPath; }
};

// The old text and the new differ in one run of bytes that, in the old
// text, lies within one line: one line was rewritten or lines were added.
bool OnlyOneLineChanged(std::string_view before, std::string_view after) {
  size_t prefix = 0;
  while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix]) ++prefix;
  size_t suffix = 0;
  while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
         before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
    ++suffix;
  return before.substr(prefix, before.size() - prefix - suffix).find('\n') == std::string_view::npos;
}

// A name as the agent's own keys and sections are spelled.
std::string NameFrom(FuzzedDataProvider& input) {
  std::string name;
  for (char c : input.ConsumeRandomLengthString(24))
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_') name += c;
  return name.empty() ? "k" : name;
}

// A value that reads back as written: printable, no edge blanks or quotes.
std::string ValueFrom(FuzzedDataProvider& input) {
  std::string value;
  for (char c : input.ConsumeRandomLengthString(TIniFile::kMaxValueLength))
    if (c >= 0x20 && c <= 0x7e) value += c;
  while (!value.empty() && (value.front() == ' ' || value.front() == '"' || value.front() == '\''))
    value.erase(0, 1);
  while (!value.empty() && value.back() == ' ') value.pop_back();
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  FuzzedDataProvider input(data, size);
  const std::string section = NameFrom(input);
  const std::string key = NameFrom(input);
  const std::string value = ValueFrom(input);
  std::string address;
  for (char c : input.ConsumeRandomLengthString(24))
    if ((c >= '0' && c <= '9') || c == '.') address += c;
  const std::string text = input.ConsumeRemainingBytesAsString();

  TIniFile ini(text);
  FUZZ_CHECK(ini.Text() == text);
  if (auto read = ini.ReadString(section, key)) FUZZ_CHECK(read->size() <= TIniFile::kMaxValueLength);
  ini.WriteString(section, key, value);
  FUZZ_CHECK(OnlyOneLineChanged(text, ini.Text()));
  FUZZ_CHECK(ini.ReadString(section, key) == value);
  FUZZ_CHECK(TIniFile(ini.Text()).ReadString(section, key) == value);

  static TLinuxSystem system;
  TMemoryFiles files;
  files.Text = text;
  TAgentConfig config(files, system, TMemoryFiles::kPath);
  try {
    config.ReadConfig();
  } catch (const std::exception&) {
    return 0;  // a refused setting stops the start: nothing is written
  }
  FUZZ_CHECK(config.PoolSize() >= 1);
  config.SetCoordinatorIp(address);
  FUZZ_CHECK(config.SaveCoordinatorIp().Ok());
  FUZZ_CHECK(OnlyOneLineChanged(text, files.Text));
  FUZZ_CHECK(TIniFile(files.Text).ReadString("coordinator", "coordinator_ip") == config.GetCoordinatorIp());
  return 0;
}
