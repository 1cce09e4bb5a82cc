// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_AgentContext.h"

#include <cerrno>

TAgentContext::TAgentContext(const TPlatform& platform, const TDebugLog& log, const TAgentSettings& settings,
                             int poolSize, std::string tempFolder)
    : Host(platform), DebugLog(log), Values(settings), PoolThreads(poolSize), TemporaryFolder(std::move(tempFolder)) {}

void TAgentContext::ChangeThreadPriority(TSystemThreadId thread, TThreadPriority priority) const {
  if (Host.System->SetThreadPriority(thread, priority)) return;
  if (!PriorityRefusalLogged.exchange(true, std::memory_order_relaxed))
    DebugWrite("AGENT: Unable to change a thread's priority (not permitted); priorities stay as they are");
}

void TAgentContext::LogFrameFailure(const TStatus& status) const {
  IDebugSink* sink = FrameErrorLog();
  if (sink != nullptr && !status.Ok() && status.Code() != ENOTCONN) sink->Write(status.Text());
}
