// SPDX-License-Identifier: Apache-2.0
// Opening a grid: the monitor's agents, the local agent, the tries while a
// local agent comes up.
#include "Submit/T_GridStart.h"

#include <chrono>
#include <set>
#include <thread>

#include "Monitor/AgentsJson.h"

namespace {

// How long a local agent may take to listen, and how often it is tried.
constexpr auto kLocalStartBound = std::chrono::seconds(30);
constexpr auto kLocalStartRetry = std::chrono::milliseconds(100);

}  // namespace

std::vector<kelvra::TAgentAddress> WithMonitorAgents(std::vector<kelvra::TAgentAddress> given,
                                                     const std::string& monitor) {
  TAgentList list;
  if (TStatus fetched = FetchAgentList(monitor, list); !fetched) throw ECannotStart(fetched.Text());
  std::set<std::string> known;
  for (const kelvra::TAgentAddress& agent : given) known.insert(agent.Text());
  size_t taken = 0;
  for (const TListedAgent& agent : list.Agents) {
    if (!agent.Up || agent.Suspended) continue;
    try {
      const kelvra::TAgentAddress lobby = kelvra::TAgentAddress::Parse(agent.Lobby);
      ++taken;
      if (known.insert(lobby.Text()).second) given.push_back(lobby);
    } catch (const kelvra::EGridError& error) {
      throw ECannotStart("monitor " + monitor + " lists " + agent.Address + " with a bad lobby: " + error.what());
    }
  }
  if (taken == 0)
    throw ECannotStart("monitor " + monitor + " lists no agent that is up and not suspended (" +
                       std::to_string(list.Agents.size()) + " known)");
  return given;
}

std::unique_ptr<TLocalAgent> StartLocalAgent(const std::string& binary, const std::string& missing,
                                             uint16_t dataPort, kelvra::TGridOptions& options) {
  if (binary.empty()) throw ECannotStart(missing);
  auto local = std::make_unique<TLocalAgent>();
  if (TStatus started = local->Start(binary, dataPort); !started)
    throw ECannotStart("the local agent cannot start: " + started.Text());
  options.Agents = {kelvra::TAgentAddress{"127.0.0.1", local->LobbyPort()}};
  options.DataPort = local->DataPort();
  options.DataBindAddress = "127.0.0.1";
  return local;
}

std::unique_ptr<kelvra::TGrid> StartGrid(const kelvra::TGridOptions& options, TLocalAgent* local,
                                         const std::function<bool()>& stop) {
  if (local == nullptr) return std::make_unique<kelvra::TGrid>(options);
  const auto deadline = std::chrono::steady_clock::now() + kLocalStartBound;
  for (;;) {
    if (stop()) return nullptr;
    try {
      return std::make_unique<kelvra::TGrid>(options);
    } catch (const kelvra::EGridError& error) {
      if (!local->Running()) throw ECannotStart(std::string("the local agent ended at start: ") + error.what());
      if (std::chrono::steady_clock::now() >= deadline)
        throw ECannotStart(std::string("the local agent does not answer on 127.0.0.1:") +
                           std::to_string(local->LobbyPort()) + " after 30 s: " + error.what());
    }
    std::this_thread::sleep_for(kLocalStartRetry);
  }
}
