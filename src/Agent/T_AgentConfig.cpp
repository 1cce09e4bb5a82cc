// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_AgentConfig.h"

#include <strings.h>

#include <stdexcept>
#include <variant>

#include "Common/T_IniFile.h"
#include "Common/kelvracommon.h"

namespace {

// The settings file, one row a setting, in the order they are read. The
// default of each is the field's value in a default-built TAgentSettings.
// Ports keep the low 16 bits of the number read; booleans are numbers
// (0 = false, other numbers = true); addresses are texts.
struct TSettingRow {
  const char* Section;
  const char* Key;
  std::variant<std::string TAgentSettings::*, uint16_t TAgentSettings::*, bool TAgentSettings::*,
               int32_t TAgentSettings::*, uint32_t TAgentSettings::*>
      Field;
  // A value that limits who can reach the agent: refusing it would widen
  // that silently, so an unusable one stops the start instead.
  bool Limits = false;
};

const TSettingRow kSettingRows[] = {
    {"agent", "bind_ip", &TAgentSettings::BindIp, true},
    {"agent", "bind_port", &TAgentSettings::BindPort},
    {"coordinator", "coordinator_ip", &TAgentSettings::CoordinatorIp},
    {"coordinator", "bind_port", &TAgentSettings::CoordinatorPort},
    {"user", "data_port", &TAgentSettings::DataPort},
    {"agent", "useHT", &TAgentSettings::UseHT},
    {"agent", "explicitCPU", &TAgentSettings::ExplicitCPU},
    {"agent", "freeCPUCount", &TAgentSettings::FreeCPUCount},
    {"agent", "suspend_timeout", &TAgentSettings::SuspendTimeout},
    {"agent", "broadcast_port", &TAgentSettings::BroadcastPort},
    {"coordinator", "broadcast_port", &TAgentSettings::CoordinatorBroadcastPort},
    {"agent", "enableDebugOutput", &TAgentSettings::EnableDebugOutput},
    {"agent", "maxDataCacheSize", &TAgentSettings::MaxDataCacheSize},
    {"coordinator", "allowDiscardCoordinatorIp", &TAgentSettings::AllowDiscardCoordinatorIp},
    {"agent", "max_sessions", &TAgentSettings::MaxSessions},
    {"agent", "max_sessions_per_user", &TAgentSettings::MaxSessionsPerUser},
};

constexpr const char* kCoordinatorSection = "coordinator";
constexpr const char* kCoordinatorKey = "coordinator_ip";

// Reads one row's value into `settings`; a refusal is described in `refused`.
void ReadSetting(const TIniFile& ini, const TSettingRow& row, TAgentSettings& settings,
                 std::vector<std::string>& refused) {
  std::optional<std::string> text = ini.ReadString(row.Section, row.Key);
  if (!text) return;
  std::visit(
      [&](auto field) {
        using TValue = std::remove_reference_t<decltype(settings.*field)>;
        if constexpr (std::is_same_v<TValue, std::string>) {
          if (text->size() > TAgentSettings::kMaxAddressLength) {
            const std::string setting = "[" + std::string(row.Section) + "] " + row.Key + "=" + *text;
            if (row.Limits)
              throw std::runtime_error(setting + ": an address has at most 19 characters; not starting rather "
                                                 "than listening on every address");
            refused.push_back("AGENT: Ignoring " + setting + ": an address has at most 19 characters");
            return;
          }
          settings.*field = *text;
        } else {
          std::optional<int32_t> number = ParseIniInteger(*text);
          if (!number) return;
          if constexpr (std::is_same_v<TValue, bool>)
            settings.*field = *number != 0;
          else
            settings.*field = static_cast<TValue>(*number);
        }
      },
      row.Field);
}

// [agent] allowed_users, which stops the start when an entry is malformed;
// and max_sessions, of which a value below one is refused.
void ReadLobbyLimits(const TIniFile& ini, TAgentSettings& settings, std::vector<std::string>& refused) {
  if (std::optional<std::string> text = ini.ReadString("agent", "allowed_users")) {
    std::string bad;
    std::optional<TAddressFilter> filter = TAddressFilter::Parse(*text, bad);
    if (!filter)
      throw std::runtime_error("[agent] allowed_users=" + *text + ": '" + bad +
                               "' is no IPv4 address or address/prefix block; not starting rather than "
                               "serving every address");
    settings.AllowedUsers = std::move(*filter);
  }
  if (settings.MaxSessions < 1) {
    refused.push_back("AGENT: Ignoring [agent] max_sessions=" + std::to_string(settings.MaxSessions) +
                      ": at least one session must be allowed; using " +
                      std::to_string(TAgentSettings::kDefaultMaxSessions));
    settings.MaxSessions = TAgentSettings::kDefaultMaxSessions;
  }
  if (settings.MaxSessionsPerUser < 1) {
    refused.push_back("AGENT: Ignoring [agent] max_sessions_per_user=" + std::to_string(settings.MaxSessionsPerUser) +
                      ": at least one session must be allowed; using " +
                      std::to_string(TAgentSettings::kDefaultMaxSessionsPerUser));
    settings.MaxSessionsPerUser = TAgentSettings::kDefaultMaxSessionsPerUser;
  }
  // One address may have every place, no more.
  settings.MaxSessionsPerUser = std::min(settings.MaxSessionsPerUser, settings.MaxSessions);
}

// The folders of a colon-separated list; empty entries are skipped.
std::vector<std::string> SplitFolders(const std::string& text) {
  std::vector<std::string> folders;
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t end = text.find(':', begin);
    if (end == std::string::npos) end = text.size();
    if (end > begin) folders.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return folders;
}

// [agent] isolation and what a session's task code may do. An unknown
// isolation word stops the start: guessing could run strangers' code
// without the confinement its owner asked for.
void ReadIsolation(const TIniFile& ini, TAgentSettings& settings, std::vector<std::string>& refused) {
  if (std::optional<std::string> text = ini.ReadString("agent", "isolation")) {
    if (::strcasecmp(text->c_str(), "thread") == 0)
      settings.Isolation = TAgentSettings::TIsolation::Thread;
    else if (::strcasecmp(text->c_str(), "process") != 0 && !text->empty())
      throw std::runtime_error("[agent] isolation=" + *text + ": the value is process or thread");
  }
  if (std::optional<std::string> text = ini.ReadString("agent", "task_read_paths"))
    settings.TaskReadPaths = SplitFolders(*text);
  if (std::optional<std::string> text = ini.ReadString("agent", "task_write_paths"))
    settings.TaskWritePaths = SplitFolders(*text);
  for (const auto* folders : {&settings.TaskReadPaths, &settings.TaskWritePaths})
    for (const std::string& folder : *folders)
      if (folder.front() != '/')
        throw std::runtime_error("[agent] task_read_paths and task_write_paths take absolute folders: '" + folder +
                                 "' is not one");
  if (std::optional<std::string> text = ini.ReadString("agent", "task_network"))
    if (std::optional<int32_t> number = ParseIniInteger(*text)) settings.TaskNetwork = *number != 0;
  if (std::optional<std::string> text = ini.ReadString("agent", "task_exec"))
    if (std::optional<int32_t> number = ParseIniInteger(*text)) settings.TaskExec = *number != 0;
  if (std::optional<std::string> text = ini.ReadString("agent", "session_memory_limit")) {
    std::optional<int32_t> number = ParseIniInteger(*text);
    if (number && *number > 0)
      settings.SessionMemoryLimitMiB = static_cast<uint64_t>(*number);
    else if (!text->empty())
      refused.push_back("AGENT: Ignoring [agent] session_memory_limit=" + *text +
                        ": a number of MiB above 0; using half of the machine's memory");
  }
}

// [agent] trusted_keys: a key file that cannot be read or holds no key
// stops the start; running any library would not be what its owner asked.
void ReadTrustedKeys(const TIniFile& ini, IFileSystem& files, TAgentSettings& settings) {
  std::optional<std::string> path = ini.ReadString("agent", "trusted_keys");
  if (!path || path->empty()) return;
  const std::string setting = "[agent] trusted_keys=" + *path + ": ";
  std::string text;
  if (TStatus read = files.ReadFile(*path, text); !read)
    throw std::runtime_error(setting + read.Text() + "; not starting rather than running unsigned libraries");
  if (TStatus parsed = TTrustedKeys::Parse(text, settings.TrustedKeys); !parsed)
    throw std::runtime_error(setting + parsed.Reason() + "; not starting rather than running unsigned libraries");
  settings.TrustedKeysFile = *path;
}

}  // namespace

TAgentConfig::TAgentConfig(IFileSystem& files, ISystem& system, std::string fileName)
    : Files(files), System(system), Path(std::move(fileName)) {}

int TAgentConfig::ComputePoolSize(int processors, uint32_t freeCPUCount) {
  if (processors > 0 && freeCPUCount < static_cast<uint32_t>(processors))
    return processors - static_cast<int>(freeCPUCount);
  return 1;
}

std::vector<std::string> TAgentConfig::ReadConfig() {
  std::string text;
  if (!Files.ReadFile(Path, text)) text.clear();
  const TIniFile ini(text);
  TAgentSettings settings;
  std::vector<std::string> refused;
  for (const TSettingRow& row : kSettingRows) ReadSetting(ini, row, settings, refused);
  ReadLobbyLimits(ini, settings, refused);
  ReadIsolation(ini, settings, refused);
  ReadTrustedKeys(ini, Files, settings);
  Values = settings;
  {
    TMutexLock guard(SettingsLock);
    CoordinatorIp = settings.CoordinatorIp;
  }
  PoolThreads = ComputePoolSize(CountProcessors(System), settings.FreeCPUCount);
  return refused;
}

std::string TAgentConfig::GetCoordinatorIp() const {
  TMutexLock guard(SettingsLock);
  return CoordinatorIp;
}

void TAgentConfig::SetCoordinatorIp(std::string_view address) {
  TMutexLock guard(SettingsLock);
  CoordinatorIp = address.substr(0, TAgentSettings::kMaxAddressLength);
}

TStatus TAgentConfig::SaveCoordinatorIp() {
  TMutexLock guard(SettingsLock);
  // The file's failure, under the name the write-back reports.
  const auto unwritable = [this](const TStatus& failure) {
    const std::string context = "Unable to write to " + Path;
    return failure.Code() != 0 ? TStatus::FromErrno(failure.Code(), context)
                               : TStatus::Failure(context, failure.Reason());
  };
  std::string text;
  // A file that exists but cannot be read is not replaced: its other
  // settings would be lost.
  if (TStatus read = Files.ReadFile(Path, text); !read && Files.Exists(Path)) return unwritable(read);
  TIniFile ini(text);
  ini.WriteString(kCoordinatorSection, kCoordinatorKey, CoordinatorIp);
  if (TStatus written = Files.WriteFile(Path, ini.Text()); !written) return unwritable(written);
  return {};
}
