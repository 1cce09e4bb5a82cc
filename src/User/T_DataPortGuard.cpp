// SPDX-License-Identifier: Apache-2.0
#include "User/T_DataPortGuard.h"

#include <algorithm>

#include "Platform/T_TcpSocket.h"

TDataPortGuard::TDataPortGuard(TTaskBoard& board, size_t agents) : Board(board) {
  TMutexLock lock(Lock);
  Addresses.resize(agents);
  CountedAt = TClock::now();
}

void TDataPortGuard::SessionOpening(size_t agent, uint32_t address) {
  TAgentAt at{address, address};
  if (TTcpSocket::AddressText(address).rfind("127.", 0) == 0) (void)TTcpSocket::ParseAddress("127.0.0.1", at.BackFrom);
  TMutexLock lock(Lock);
  Addresses[agent] = at;
}

void TDataPortGuard::AgentLost(size_t agent) {
  TMutexLock lock(Lock);
  Addresses[agent].reset();
}

std::vector<size_t> TDataPortGuard::AgentsAtLocked(uint32_t address) const {
  std::vector<size_t> agents;
  for (size_t agent = 0; agent < Addresses.size(); ++agent)
    if (Addresses[agent] && (Addresses[agent]->Address == address || Addresses[agent]->BackFrom == address))
      agents.push_back(agent);
  return agents;
}

bool TDataPortGuard::Admit(uint32_t address, int open) {
  size_t agents = 0;
  {
    TMutexLock lock(Lock);
    agents = AgentsAtLocked(address).size();
  }
  const std::string from = TTcpSocket::AddressText(address);
  if (agents == 0) {
    Refused("refused a connection from " + from + ": no agent of this grid is at that address");
    return false;
  }
  const int most = kConnectionsPerAgent * static_cast<int>(agents);
  if (open >= most) {
    Refused("refused a connection from " + from + ": " + std::to_string(open) + " are open from there already, " +
            "the most for " + std::to_string(agents) + (agents == 1 ? " agent" : " agents"));
    return false;
  }
  return true;
}

bool TDataPortGuard::Serves(uint32_t address) const {
  TMutexLock lock(Lock);
  return !AgentsAtLocked(address).empty();
}

bool TDataPortGuard::TakesReport(uint32_t address, uint32_t id) const {
  std::vector<size_t> agents;
  {
    TMutexLock lock(Lock);
    agents = AgentsAtLocked(address);
  }
  return std::any_of(agents.begin(), agents.end(), [&](size_t agent) { return Board.InFlightOn(agent, id); });
}

void TDataPortGuard::Refused(const std::string& what) {
  uint64_t leftOut = 0;
  {
    TMutexLock lock(Lock);
    const TClock::time_point now = TClock::now();
    const double earned = std::chrono::duration<double>(now - CountedAt) / kRefusalRefill;
    RefusalsAllowed = std::min<double>(kRefusalBurst, RefusalsAllowed + earned);
    CountedAt = now;
    if (RefusalsAllowed < 1) {
      ++LeftOut;
      return;
    }
    RefusalsAllowed -= 1;
    std::swap(leftOut, LeftOut);
  }
  if (leftOut > 0)
    Board.AddWarning("data port: " + std::to_string(leftOut) + " more refusals were left out of these warnings");
  Board.AddWarning("data port: " + what);
}
