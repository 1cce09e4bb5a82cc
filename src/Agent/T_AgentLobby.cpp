// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_AgentLobby.h"

#include <stdexcept>

#include "Agent/T_AgentContext.h"
#include "Agent/T_AgentLobbySocketThread.h"
#include "Agent/T_SessionProcesses.h"
#include "Platform/T_TcpSocket.h"

TAgentLobby::TAgentLobby(const TAgentContext& context, const TSessionServices& services,
                         TSessionProcesses* processes)
    : Context(context),
      Services(services),
      Listener(*context.Platform().System, *context.Platform().Debug, "AgentLobbySocketThread") {
  TStatus listening = Listener.Start(
      context.Settings().BindIp, context.Settings().BindPort,
      [this](uint32_t address, int open) { return Admits(address, open); },
      [this, processes](TConnection& connection) {
        if (processes != nullptr)
          processes->Serve(connection, Services);
        else
          TAgentLobbySocketThread(Context, Services).Serve(connection);
      });
  if (!listening) throw std::runtime_error(listening.Text());
}

bool TAgentLobby::Admits(uint32_t address, int open) const {
  const TAgentSettings& settings = Context.Settings();
  if (!settings.AllowedUsers.Allows(address)) {
    Context.DebugWrite("AGENTLOBBY: Refused connection from %s: not in allowed_users", TTcpSocket::AddressText(address));
    return false;
  }
  // A session counts until its teardown has finished.
  if (open >= settings.MaxSessions) {
    Context.DebugWrite("AGENTLOBBY: Refused connection from %s: max_sessions=%d sessions are open",
                       TTcpSocket::AddressText(address), settings.MaxSessions);
    return false;
  }
  // Nor may one address take every place.
  if (Listener.ConnectionCountFrom(address) >= settings.MaxSessionsPerUser) {
    Context.DebugWrite("AGENTLOBBY: Refused connection from %s: max_sessions_per_user=%d sessions of this address "
                       "are open",
                       TTcpSocket::AddressText(address), settings.MaxSessionsPerUser);
    return false;
  }
  return true;
}
