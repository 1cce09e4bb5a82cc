// The monitor's web page: one self-contained HTML document (its style and
// script inline, nothing fetched from elsewhere) that draws the table of
// agents and their load charts from /agents.json, every 2 s.
#pragma once

#include <string_view>

std::string_view MonitorPageHtml();
