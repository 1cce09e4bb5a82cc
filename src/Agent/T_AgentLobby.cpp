#include "Agent/T_AgentLobby.h"

#include "Agent/T_Agent.h"
#include "Agent/T_AgentLobbySocketThread.h"

TAgentLobby::TAgentLobby(TAgent& agent) : Agent(agent), Server(*agent.Platform().System, *agent.Platform().Debug) {
  Server.SetThreadCacheSize(0);
  Server.SetAddress(agent.Setting().BindIp);
  Server.SetPort(agent.Setting().BindPort);
  Server.SetOnGetThread([this](TCustomWinSocket&) -> std::unique_ptr<TServerClientThread> {
    return std::make_unique<TAgentLobbySocketThread>(Agent);
  });
  // The connection threads catch their own errors; anything else is logged.
  Server.SetOnThreadError([this](const std::string& message) { Agent.DebugWrite("AGENTLOBBYTHREAD: %s", UserText(message)); });
  Server.Activate();
}

TAgentLobby::~TAgentLobby() { Server.Deactivate(); }
