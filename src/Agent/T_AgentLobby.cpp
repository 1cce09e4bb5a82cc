#include "Agent/T_AgentLobby.h"

#include "Agent/T_AgentContext.h"
#include "Agent/T_AgentLobbySocketThread.h"
#include "Platform/T_TcpSocket.h"

TAgentLobby::TAgentLobby(const TAgentContext& context, const TSessionServices& services)
    : Context(context), Services(services), Server(*context.Platform().System, *context.Platform().Debug) {
  Server.SetThreadCacheSize(0);
  Server.SetAddress(context.Settings().BindIp);
  Server.SetPort(context.Settings().BindPort);
  Server.SetOnAccept([this](uint32_t address) { return Admits(address); });
  Server.SetOnGetThread([this](TCustomWinSocket&) -> std::unique_ptr<TServerClientThread> {
    return std::make_unique<TAgentLobbySocketThread>(Context, Services);
  });
  // The connection threads catch their own errors; anything else is logged.
  Server.SetOnThreadError([this](const std::string& message) { Context.DebugWrite("AGENTLOBBYTHREAD: %s", UserText(message)); });
  Server.Activate();
}

TAgentLobby::~TAgentLobby() { Server.Deactivate(); }

bool TAgentLobby::Admits(uint32_t address) {
  const TAgentSettings& settings = Context.Settings();
  if (!settings.AllowedUsers.Allows(address)) {
    Context.DebugWrite("AGENTLOBBY: Refused connection from %s: not in allowed_users", TTcpSocket::AddressText(address));
    return false;
  }
  // Only this thread adds connections, so the count cannot grow meanwhile;
  // a session counts until its teardown has finished.
  if (Server.ConnectionCount() >= settings.MaxSessions) {
    Context.DebugWrite("AGENTLOBBY: Refused connection from %s: max_sessions=%d sessions are open",
                     TTcpSocket::AddressText(address), settings.MaxSessions);
    return false;
  }
  return true;
}
