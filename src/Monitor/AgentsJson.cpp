#include "Monitor/AgentsJson.h"

#include <httplib.h>

#include <limits>
#include <nlohmann/json.hpp>

#include "Common/HostPort.h"

namespace {

using nlohmann::json;

constexpr int kConnectTimeoutSeconds = 5;
constexpr int kReadTimeoutSeconds = 10;

// Reads the fields of one object by name, each of the type it must have: a
// field missing keeps its default, one of another type is an error (the
// first one is kept, for the reader to be told).
class TFieldReader {
 public:
  TFieldReader(const json& object, std::string where) : Object(object), Where(std::move(where)) {}

  void Text(const char* name, std::string& value) {
    if (const json* field = Find(name, "a string", &json::is_string)) value = field->get<std::string>();
  }
  void Flag(const char* name, bool& value) {
    if (const json* field = Find(name, "true or false", &json::is_boolean)) value = field->get<bool>();
  }
  void Count(const char* name, uint32_t& value) {
    const json* field = Find(name, "a whole number from 0", &json::is_number_unsigned);
    if (field == nullptr) return;
    if (field->get<uint64_t>() > std::numeric_limits<uint32_t>::max()) return Fail(name, "a whole number up to 4294967295");
    value = static_cast<uint32_t>(field->get<uint64_t>());
  }
  void Time(const char* name, int64_t& value) {
    if (const json* field = Find(name, "a whole number", &json::is_number_integer)) value = field->get<int64_t>();
  }
  const std::string& Error() const { return Why; }

 private:
  const json* Find(const char* name, const char* expected, bool (json::*is)() const noexcept) {
    const auto field = Object.find(name);
    if (field == Object.end() || field->is_null()) return nullptr;
    if (!((*field).*is)()) {
      Fail(name, expected);
      return nullptr;
    }
    return &*field;
  }
  void Fail(const char* name, const char* expected) {
    if (Why.empty()) Why = Where + "\"" + name + "\" is not " + expected;
  }

  const json& Object;
  const std::string Where;
  std::string Why;
};

std::string FetchError(httplib::Error error) {
  switch (error) {
    case httplib::Error::Connection: return "no connection";
    case httplib::Error::ConnectionTimeout: return "no connection within " + std::to_string(kConnectTimeoutSeconds) + " s";
    case httplib::Error::Read: return "no whole answer within " + std::to_string(kReadTimeoutSeconds) + " s";
    case httplib::Error::Write: return "the request could not be sent";
    case httplib::Error::BindIPAddress: return "no local address to connect from";
    default: return httplib::to_string(error);
  }
}

}  // namespace

std::string AgentsJson(const TRegistrySnapshot& snapshot, uint16_t lobbyPort) {
  json agents = json::array();
  for (const TAgentView& agent : snapshot.Agents) {
    json history = json::array();
    for (const TLoadPoint& point : agent.History) history.push_back({point.UnixMs, point.BusyPercent, point.AgentPercent});
    const TAgentReport& report = agent.Latest;
    agents.push_back({
        {"id", agent.Id},
        {"address", agent.Address},
        {"lobby", agent.Address + ":" + std::to_string(lobbyPort)},
        {"name", report.ComputerName},
        {"version", report.Version},
        {"processor_ghz", report.ProcessorGHz},
        {"processors", report.ProcessorCount},
        {"pool_size", report.PoolSize},
        {"idle_percent", report.IdlePercent},
        {"agent_percent", report.AgentPercent},
        {"free_memory_mb", report.FreeMemoryMB},
        {"status", report.StatusText},
        {"suspended", IsSuspended(report.StatusText)},
        {"up", agent.Up},
        {"lost_reason", agent.LostReason},
        {"first_seen", agent.FirstSeenUnixMs},
        {"last_report", agent.LastReportUnixMs},
        {"reports", agent.Reports},
        {"history", std::move(history)},
    });
  }
  const json document = {
      {"now", snapshot.NowUnixMs},
      {"agents_up", snapshot.AgentsUp()},
      {"agents_known", snapshot.Agents.size()},
      {"reports_received", snapshot.ReportsReceived},
      {"reports_rejected", snapshot.ReportsRejected},
      {"connections_accepted", snapshot.ConnectionsAccepted},
      {"discovery_answers", snapshot.DiscoveryAnswers},
      {"agents", std::move(agents)},
  };
  // Names and status texts come from the agents as bytes: anything that is
  // not UTF-8 is shown as U+FFFD rather than failing the whole document.
  return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

TStatus ParseAgentsJson(const std::string& text, TAgentList& list) {
  const json document = json::parse(text, nullptr, false);
  if (document.is_discarded()) return TStatus::Failure("agents.json", "not a JSON text");
  if (!document.is_object()) return TStatus::Failure("agents.json", "not a JSON object");
  const auto agents = document.find("agents");
  if (agents == document.end() || !agents->is_array()) return TStatus::Failure("agents.json", "no \"agents\" array");
  TAgentList parsed;
  TFieldReader top(document, "");
  top.Time("now", parsed.NowUnixMs);
  if (!top.Error().empty()) return TStatus::Failure("agents.json", top.Error());
  for (size_t i = 0; i < agents->size(); ++i) {
    const json& item = (*agents)[i];
    const std::string where = "agent " + std::to_string(i + 1) + ": ";
    if (!item.is_object()) return TStatus::Failure("agents.json", where + "not a JSON object");
    TListedAgent agent;
    TFieldReader fields(item, where);
    fields.Text("address", agent.Address);
    fields.Text("lobby", agent.Lobby);
    fields.Text("name", agent.Name);
    fields.Count("processors", agent.Processors);
    fields.Count("pool_size", agent.PoolSize);
    fields.Count("idle_percent", agent.IdlePercent);
    fields.Count("agent_percent", agent.AgentPercent);
    fields.Count("free_memory_mb", agent.FreeMemoryMB);
    fields.Text("status", agent.Status);
    fields.Flag("suspended", agent.Suspended);
    fields.Flag("up", agent.Up);
    fields.Text("lost_reason", agent.LostReason);
    fields.Time("last_report", agent.LastReportUnixMs);
    if (!fields.Error().empty()) return TStatus::Failure("agents.json", fields.Error());
    parsed.Agents.push_back(std::move(agent));
  }
  list = std::move(parsed);
  return {};
}

TStatus FetchAgentList(const std::string& hostPort, TAgentList& list) {
  THostPort monitor;
  if (TStatus read = ParseHostPort(hostPort, kDefaultMonitorPort, monitor); !read)
    return TStatus::Failure("", "monitor address \"" + hostPort + "\" " + read.Reason());
  httplib::Client client(monitor.Host, monitor.Port);
  client.set_connection_timeout(kConnectTimeoutSeconds);
  client.set_read_timeout(kReadTimeoutSeconds);
  client.set_write_timeout(kConnectTimeoutSeconds);
  const httplib::Result answer = client.Get("/agents.json");
  if (!answer) return TStatus::Failure("", "monitor " + monitor.Text() + " is unreachable: " + FetchError(answer.error()));
  if (answer->status != 200)
    return TStatus::Failure("", "monitor " + monitor.Text() + " answered " + std::to_string(answer->status));
  if (TStatus parsed = ParseAgentsJson(answer->body, list); !parsed)
    return TStatus::Failure("", "monitor " + monitor.Text() + " answered no agent list: " + parsed.Reason());
  return {};
}
