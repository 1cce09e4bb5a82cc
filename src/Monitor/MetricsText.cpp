// SPDX-License-Identifier: Apache-2.0
#include "Monitor/MetricsText.h"

#include <charconv>
#include <functional>
#include <vector>

namespace {

// A label value as the format quotes it: backslash, double quote and line
// feed escaped.
std::string LabelValue(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\') escaped += "\\\\";
    else if (c == '"') escaped += "\\\"";
    else if (c == '\n') escaped += "\\n";
    else escaped += c;
  }
  return escaped;
}

// As "%.15g" writes it, without the locale.
void AppendNumber(std::string& out, double value) {
  char text[32];
  out.append(text, std::to_chars(text, text + sizeof text, value, std::chars_format::general, 15).ptr);
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

struct TAgentMetric {
  const char* Name;
  const char* Type;
  const char* Help;
  std::function<double(const TAgentView&)> Value;
};

}  // namespace

std::string MetricsText(const TRegistryView& view) {
  const TAgentMetric perAgent[] = {
      {"kelvra_agent_up", "gauge", "1 while the agent reports, 0 once it is lost.",
       [](const TAgentView& a) { return a.Up ? 1.0 : 0.0; }},
      {"kelvra_agent_processors", "gauge", "Processors of the agent's machine.",
       [](const TAgentView& a) { return double(a.Latest.ProcessorCount); }},
      {"kelvra_agent_pool_size", "gauge", "Pool threads per session.",
       [](const TAgentView& a) { return double(a.Latest.PoolSize); }},
      {"kelvra_agent_processor_ghz", "gauge", "Processor speed in GHz.",
       [](const TAgentView& a) { return a.Latest.ProcessorGHz; }},
      {"kelvra_agent_cpu_load_percent", "gauge", "Load of the agent's machine (100 - idle percent).",
       [](const TAgentView& a) { return static_cast<double>(LoadPercent(a.Latest.IdlePercent)); }},
      {"kelvra_agent_share_percent", "gauge", "Share of the machine the agent's tasks use.",
       [](const TAgentView& a) { return static_cast<double>(SharePercent(a.Latest.AgentPercent)); }},
      {"kelvra_agent_free_memory_bytes", "gauge", "Free memory of the agent's machine.",
       [](const TAgentView& a) { return double(a.Latest.FreeMemoryMB) * 1024 * 1024; }},
      {"kelvra_agent_suspended", "gauge", "1 while the agent holds its work back for the machine's owner.",
       [](const TAgentView& a) { return IsSuspended(a.Latest.StatusText) ? 1.0 : 0.0; }},
      {"kelvra_agent_last_report_timestamp_seconds", "gauge", "Unix time of the agent's latest report.",
       [](const TAgentView& a) { return double(a.LastReportUnixMs) / 1000; }},
      {"kelvra_agent_reports_total", "counter", "Status reports received from the agent.",
       [](const TAgentView& a) { return double(a.Reports); }},
  };
  // Each agent's labels, escaped once for every family.
  std::vector<std::string> labels;
  labels.reserve(view.Agents.size());
  for (const TAgentView* agent : view.Agents)
    labels.push_back("{address=\"" + LabelValue(agent->Address) + "\",name=\"" +
                     LabelValue(agent->Latest.ComputerName) + "\"} ");
  std::string out;
  for (const TAgentMetric& metric : perAgent) {
    Family(out, metric.Name, metric.Type, metric.Help);
    for (size_t i = 0; i < view.Agents.size(); ++i) {
      out += metric.Name;
      out += labels[i];
      AppendNumber(out, metric.Value(*view.Agents[i]));
      out += '\n';
    }
  }
  const struct {
    const char* Name;
    const char* Type;
    const char* Help;
    double Value;
  } totals[] = {
      {"kelvra_agents_up", "gauge", "Agents reporting now.", double(view.AgentsUp())},
      {"kelvra_agents_known", "gauge", "Agents the monitor knows, up or lost.", double(view.Agents.size())},
      {"kelvra_status_reports_total", "counter", "Well-formed status reports received.", double(view.ReportsReceived)},
      {"kelvra_status_reports_rejected_total", "counter", "Malformed or oversized status frames.",
       double(view.ReportsRejected)},
      {"kelvra_status_connections_total", "counter", "Status connections accepted.", double(view.ConnectionsAccepted)},
      {"kelvra_discovery_answers_total", "counter", "Discovery datagrams answered.", double(view.DiscoveryAnswers)},
  };
  for (const auto& total : totals) {
    Family(out, total.Name, total.Type, total.Help);
    out += std::string(total.Name) + " ";
    AppendNumber(out, total.Value);
    out += '\n';
  }
  return out;
}
