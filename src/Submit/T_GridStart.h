// SPDX-License-Identifier: Apache-2.0
// How a user's program opens its grid: the agents named, those a monitor
// lists, or a private local agent started for the run. kelvra-submit and
// the Python module start grids through these, so that both say the same
// when a grid cannot start (ECannotStart, with the reason).
//
// Threads: plain functions; the caller owns what they return.
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Submit/T_LocalAgent.h"
#include "kelvra/kelvra_client.h"

// A run that cannot start: the text says what and why.
class ECannotStart : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The agents of `given`, then the lobby of every agent the monitor at
// `monitor` lists as up and not suspended (each agent once).
std::vector<kelvra::TAgentAddress> WithMonitorAgents(std::vector<kelvra::TAgentAddress> given,
                                                     const std::string& monitor);

// Starts the local agent `binary` (empty: none was found, `missing` says
// so) and points `options` at it alone: its lobby, its data port (a free
// one unless `dataPort` is not 0), served on 127.0.0.1 only.
std::unique_ptr<TLocalAgent> StartLocalAgent(const std::string& binary, const std::string& missing,
                                             uint16_t dataPort, kelvra::TGridOptions& options);

// The grid on the agents of `options`. With a local agent, tried again
// until the agent listens (bounded) or ends, or `stop` answers true (then
// null).
std::unique_ptr<kelvra::TGrid> StartGrid(const kelvra::TGridOptions& options, TLocalAgent* local,
                                         const std::function<bool()>& stop);
