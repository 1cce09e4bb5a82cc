// SPDX-License-Identifier: Apache-2.0
// The monitor's web page: one self-contained HTML document (its style and
// script inline, nothing fetched from elsewhere): the counts and totals of
// the agents, then one page of them (filtered by a text, sorted by address,
// name, load or status) with their load charts, from /agents.json every 2 s.
#pragma once

#include <string_view>

std::string_view MonitorPageHtml();
