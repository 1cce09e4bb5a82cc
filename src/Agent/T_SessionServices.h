// SPDX-License-Identifier: Apache-2.0
// TSessionServices: the agent's services that a session (its lobby thread
// and its worker) borrows besides the context: the closing flag, the
// suspension, the load summary, the session list and the agent interface
// handed to task libraries. The agent builds one and keeps it for its life;
// a test builds one from its own objects. The parts below the worker (peer,
// caches, pool) are handed only the members they use.
#pragma once

#include <functional>

#include "Agent/I_LoadSource.h"
#include "Agent/T_ClosingFlag.h"
#include "Agent/T_SessionList.h"
#include "Agent/T_SuspendState.h"
#include "I_Agent.h"
#include "Platform/T_Status.h"

struct TSessionServices {
  const TClosingFlag& Closing;      // borrowed
  const TSuspendState& Suspension;  // borrowed
  const ILoadSource& Load;          // borrowed
  TSessionList& Sessions;           // borrowed
  IAgent* AgentInterface;           // borrowed; handed to task code

  // Only in a session process of its own: confines the process once the
  // session's connections are open, before the first task library loads (a
  // failure fails the session's start); and tells the agent that the lobby
  // connection has been closed, so that its copy closes too.
  std::function<TStatus()> ConfineBeforeTasks = {};
  std::function<void()> LobbyClosed = {};
};
