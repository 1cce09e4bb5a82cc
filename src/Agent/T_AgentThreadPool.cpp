#include "Agent/T_AgentThreadPool.h"

std::atomic<int> TAgentThreadPool::SuspendSeconds{0};
