// SPDX-License-Identifier: Apache-2.0
// TAgentContext: what the agent lends every part it builds: the platform's
// facilities, the debug log, the settings as read at start, the session
// files' root and the thread-priority policy. The agent (or a test, from
// fakes) makes one and keeps it for its whole life; the parts borrow it by
// const reference. Everything in it is constant after construction or safe
// for any thread, so no lock guards it.
//
// The agent's few real services (the session list, the load summary, the
// closing flag, the suspension) are not here: each part is handed just the
// ones it uses (T_SessionServices.h).
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "Agent/T_AgentConfig.h"
#include "Common/T_DebugLog.h"
#include "Platform/I_System.h"
#include "Platform/T_Status.h"
#include "Platform/T_Platform.h"

class TAgentContext {
 public:
  // `platform`'s facilities are borrowed for the context's life; the log,
  // the settings and the folder (ending in "/") are copied.
  TAgentContext(const TPlatform& platform, const TDebugLog& log, const TAgentSettings& settings, int poolSize,
                std::string tempFolder);
  TAgentContext(const TAgentContext&) = delete;
  TAgentContext& operator=(const TAgentContext&) = delete;

  const TPlatform& Platform() const { return Host; }

  // The debug log (off unless enableDebugOutput). Any thread.
  const TDebugLog& Log() const { return DebugLog; }
  template <typename... TArgs>
  void DebugWrite(std::string_view format, const TArgs&... args) const {
    DebugLog.Write(format, args...);
  }
  // Where the frame writers report a failed write: the debug-output channel
  // while enableDebugOutput is on, else nowhere (null).
  IDebugSink* FrameErrorLog() const { return Values.EnableDebugOutput ? Host.Debug : nullptr; }
  // Writes a failed frame write's line ("SocketWriteString: Write error 32,
  // Broken pipe") there; nothing for a connection that is not open (its
  // failure was told when it closed) or for success.
  void LogFrameFailure(const TStatus& status) const;

  // The settings as read at start. The coordinator address among them is
  // the one read then; its later changes live in the agent's TAgentConfig.
  const TAgentSettings& Settings() const { return Values; }
  // Threads in each session's pool.
  int PoolSize() const { return PoolThreads; }
  // The session files' root: <data home>/kelvra/TEMP/, ending in "/".
  const std::string& TempFolder() const { return TemporaryFolder; }

  // Gives `thread` the priority, best effort: the first refusal (no
  // privilege to raise a priority again) is logged, later ones are not, and
  // the caller goes on either way. Any thread.
  void ChangeThreadPriority(TSystemThreadId thread, TThreadPriority priority) const;

 private:
  // Constant after construction.
  const TPlatform Host;  // the facilities are borrowed
  const TDebugLog DebugLog;
  const TAgentSettings Values;
  const int PoolThreads;
  const std::string TemporaryFolder;

  // Exchanged by any thread whose priority change was refused; only the
  // exchange itself matters (one log line), so relaxed suffices.
  mutable std::atomic<bool> PriorityRefusalLogged{false};
};
