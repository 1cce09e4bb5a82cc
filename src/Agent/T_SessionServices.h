// TSessionServices: the agent's services that a session (its lobby thread
// and its worker) borrows besides the context: the closing flag, the
// suspension, the load summary, the session list and the agent interface
// handed to task libraries. The agent builds one and keeps it for its life;
// a test builds one from its own objects. The parts below the worker (peer,
// caches, pool) are handed only the members they use.
#pragma once

#include "Agent/I_LoadSource.h"
#include "Agent/T_ClosingFlag.h"
#include "Agent/T_SessionList.h"
#include "Agent/T_SuspendState.h"
#include "I_Agent.h"

struct TSessionServices {
  const TClosingFlag& Closing;      // borrowed
  const TSuspendState& Suspension;  // borrowed
  const ILoadSource& Load;          // borrowed
  TSessionList& Sessions;           // borrowed
  IAgent* AgentInterface;           // borrowed; handed to task code
};
