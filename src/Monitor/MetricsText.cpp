#include "Monitor/MetricsText.h"

#include <cstdio>
#include <functional>

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

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
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

std::string MetricsText(const TRegistrySnapshot& snapshot) {
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
  std::string out;
  for (const TAgentMetric& metric : perAgent) {
    Family(out, metric.Name, metric.Type, metric.Help);
    for (const TAgentView& agent : snapshot.Agents)
      out += std::string(metric.Name) + "{address=\"" + LabelValue(agent.Address) + "\",name=\"" +
             LabelValue(agent.Latest.ComputerName) + "\"} " + Number(metric.Value(agent)) + "\n";
  }
  const struct {
    const char* Name;
    const char* Type;
    const char* Help;
    double Value;
  } totals[] = {
      {"kelvra_agents_up", "gauge", "Agents reporting now.", double(snapshot.AgentsUp())},
      {"kelvra_agents_known", "gauge", "Agents the monitor knows, up or lost.", double(snapshot.Agents.size())},
      {"kelvra_status_reports_total", "counter", "Well-formed status reports received.", double(snapshot.ReportsReceived)},
      {"kelvra_status_reports_rejected_total", "counter", "Malformed or oversized status frames.",
       double(snapshot.ReportsRejected)},
      {"kelvra_status_connections_total", "counter", "Status connections accepted.", double(snapshot.ConnectionsAccepted)},
      {"kelvra_discovery_answers_total", "counter", "Discovery datagrams answered.", double(snapshot.DiscoveryAnswers)},
  };
  for (const auto& total : totals) {
    Family(out, total.Name, total.Type, total.Help);
    out += std::string(total.Name) + " " + Number(total.Value) + "\n";
  }
  return out;
}
