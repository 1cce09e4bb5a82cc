// SPDX-License-Identifier: Apache-2.0
// /metrics: the registry in the Prometheus text exposition format
// (version 0.0.4): per-agent gauges labelled with the agent's address and
// computer name, then the monitor's own totals. A pure function.
#pragma once

#include <string>

#include "Monitor/T_AgentRegistry.h"

std::string MetricsText(const TRegistryView& view);
