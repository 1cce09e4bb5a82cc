// SPDX-License-Identifier: Apache-2.0
// TAgentConfig: the agent's settings, read once from kelvra.INI at start,
// and the one setting that changes at run time: the coordinator's address,
// which the broadcast handler stores and writes back into the file.
//
// Threads: ReadConfig runs on the main thread before any other agent thread
// exists; afterwards Settings() and PoolSize() are constant and read freely.
// The coordinator address and its write-back are guarded by the settings
// lock, which callers must not hold (it is taken inside); a leaf
// (Agent/LockOrder.h).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Common/T_AddressFilter.h"
#include "Agent/T_TrustedKeys.h"
#include "Platform/T_Mutex.h"
#include "Platform/T_Platform.h"

// The values of kelvra.INI. Address texts hold at most kMaxAddressLength
// characters; a longer one is refused when read (a longer bind_ip stops the
// start, as does a malformed allowed_users entry).
struct TAgentSettings {
  static constexpr size_t kMaxAddressLength = 19;
  static constexpr int32_t kDefaultMaxSessions = 64;

  // maxDataCacheSize counts KiB; a negative value counts as 0.
  uint64_t MaxDataCacheBytes() const { return MaxDataCacheSize > 0 ? uint64_t(MaxDataCacheSize) * 1024 : 0; }
  // The most one compressed task input or data block may inflate to: the
  // data-cache bound, within what a stream can hold.
  int32_t MaxInflatedBytes() const {
    return static_cast<int32_t>(std::min<uint64_t>(MaxDataCacheBytes(), INT32_MAX));
  }

  std::string BindIp;                     // [agent] bind_ip; empty = all addresses
  uint16_t BindPort = 4102;               // [agent] bind_port, the lobby
  std::string CoordinatorIp;              // [coordinator] coordinator_ip as read at start
  uint16_t CoordinatorPort = 4100;        // [coordinator] bind_port, status reports
  uint16_t DataPort = 4103;               // [user] data_port
  bool UseHT = true;                      // [agent] useHT, held only
  bool ExplicitCPU = true;                // [agent] explicitCPU, pin pool threads
  uint32_t FreeCPUCount = 0;              // [agent] freeCPUCount
  int32_t SuspendTimeout = 30;            // [agent] suspend_timeout, seconds
  int32_t BroadcastPort = 4104;           // [agent] broadcast_port, listened on
  int32_t CoordinatorBroadcastPort = 4105;  // [coordinator] broadcast_port, sent to
  bool EnableDebugOutput = false;         // [agent] enableDebugOutput
  int32_t MaxDataCacheSize = 100000;      // [agent] maxDataCacheSize, KiB
  bool AllowDiscardCoordinatorIp = true;  // [coordinator] allowDiscardCoordinatorIp
  TAddressFilter AllowedUsers;            // [agent] allowed_users; empty = every address
  int32_t MaxSessions = kDefaultMaxSessions;  // [agent] max_sessions, at least 1
  static constexpr int32_t kDefaultMaxSessionsPerUser = 16;
  // [agent] max_sessions_per_user: sessions one address may have open, at
  // least 1, at most max_sessions.
  int32_t MaxSessionsPerUser = kDefaultMaxSessionsPerUser;

  // How each session runs and what its task code may do.
  enum class TIsolation { Process, Thread };
  TIsolation Isolation = TIsolation::Process;  // [agent] isolation: process (default) or thread
  std::vector<std::string> TaskReadPaths;       // [agent] task_read_paths, colon-separated folders
  std::vector<std::string> TaskWritePaths;      // [agent] task_write_paths, colon-separated folders
  bool TaskNetwork = false;                     // [agent] task_network: tasks may connect and listen
  bool TaskExec = false;                        // [agent] task_exec: tasks may start programs
  uint64_t SessionMemoryLimitMiB = 0;           // [agent] session_memory_limit; 0 = half the machine's memory

  // [agent] trusted_keys: the key file's path, and its keys. Empty: any
  // library runs, and no signature is asked for.
  std::string TrustedKeysFile;
  TTrustedKeys TrustedKeys;
};

class TAgentConfig {
 public:
  // `fileName` is the settings file's full name; `files` and `system` are
  // borrowed for the config's life.
  TAgentConfig(IFileSystem& files, ISystem& system, std::string fileName);
  TAgentConfig(const TAgentConfig&) = delete;
  TAgentConfig& operator=(const TAgentConfig&) = delete;

  // Reads every setting (a missing file, section, key or a value that does
  // not parse gives the default) and derives the pool size. Answers one text
  // per value it refused, for the caller to log. Raises an error naming the
  // key when bind_ip is refused (the lobby would otherwise listen on every
  // address), and naming the key and the entry when an allowed_users entry
  // is no address or block (the lobby would otherwise serve everyone), and
  // naming the key file and why when trusted_keys names a file that cannot
  // be read or holds no key.
  std::vector<std::string> ReadConfig();

  const TAgentSettings& Settings() const { return Values; }
  int PoolSize() const { return PoolThreads; }
  const std::string& FileName() const { return Path; }

  std::string GetCoordinatorIp() const EXCLUDES(SettingsLock);
  // Stores a new address (cut to kMaxAddressLength) in memory only.
  void SetCoordinatorIp(std::string_view address) EXCLUDES(SettingsLock);
  // Writes the current address as [coordinator] coordinator_ip, keeping every
  // other line of the file. A failure reads "Unable to write to <file>: " and
  // the system's reason.
  TStatus SaveCoordinatorIp() EXCLUDES(SettingsLock);

  // Processors minus freeCPUCount when that leaves at least one, else one.
  static int ComputePoolSize(int processors, uint32_t freeCPUCount);

 private:
  // Constant after construction.
  IFileSystem& Files;  // borrowed
  ISystem& System;     // borrowed
  const std::string Path;

  // Written by ReadConfig before other threads exist, constant afterwards.
  TAgentSettings Values;
  int PoolThreads = 1;

  mutable TMutex SettingsLock;
  std::string CoordinatorIp GUARDED_BY(SettingsLock);
};
