// SPDX-License-Identifier: Apache-2.0
#include "Monitor/AgentsJson.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <nlohmann/json.hpp>

#include "Common/CommandText.h"

namespace {

using nlohmann::json;

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


// A JSON string of bytes from an agent: quoted and escaped, and anything
// that is not UTF-8 shown as U+FFFD rather than spoiling the document.
void AppendString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c == '\n') {
        out += "\\n";
      } else if (c == '\r') {
        out += "\\r";
      } else if (c == '\t') {
        out += "\\t";
      } else if (c < 0x20 || c == 0x7f) {
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 15];
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    // The length of a well-formed sequence starting here, or 0.
    size_t length = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
    if (length > text.size() - i) length = 0;
    for (size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) length = 0;
    if (length >= 3) {
      const auto second = static_cast<unsigned char>(text[i + 1]);
      if ((c == 0xe0 && second < 0xa0) || (c == 0xed && second > 0x9f) || (c == 0xf0 && second < 0x90) ||
          (c == 0xf4 && second > 0x8f))
        length = 0;  // overlong, a surrogate, or beyond U+10FFFF
    }
    if (length == 0) {
      out += "\xef\xbf\xbd";
      ++i;
      continue;
    }
    out.append(text, i, length);
    i += length;
  }
  out += '"';
}

void AppendNumber(std::string& out, uint64_t value) {
  char text[24];
  out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

void AppendNumber(std::string& out, int64_t value) {
  char text[24];
  out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

void AppendNumber(std::string& out, double value) {
  char text[32];
  out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// `"name": ` after a comma unless it is the first of its object.
void Key(std::string& out, const char* name, bool first = false) {
  if (!first) out += ',';
  out += '"';
  out += name;
  out += "\":";
}

void AppendAgent(std::string& out, const TAgentView& agent, const std::string& lobbySuffix) {
  const TAgentReport& report = agent.Latest;
  Key(out, "id", true), AppendNumber(out, agent.Id);
  Key(out, "address"), AppendString(out, agent.Address);
  Key(out, "lobby"), AppendString(out, agent.Address + lobbySuffix);
  Key(out, "name"), AppendString(out, report.ComputerName);
  Key(out, "version"), AppendNumber(out, uint64_t{report.Version});
  Key(out, "processor_ghz"), AppendNumber(out, report.ProcessorGHz);
  Key(out, "processors"), AppendNumber(out, uint64_t{report.ProcessorCount});
  Key(out, "pool_size"), AppendNumber(out, uint64_t{report.PoolSize});
  Key(out, "idle_percent"), AppendNumber(out, uint64_t{report.IdlePercent});
  Key(out, "agent_percent"), AppendNumber(out, uint64_t{report.AgentPercent});
  Key(out, "free_memory_mb"), AppendNumber(out, uint64_t{report.FreeMemoryMB});
  Key(out, "status"), AppendString(out, report.StatusText);
  Key(out, "status_bytes"), AppendNumber(out, uint64_t{agent.StatusBytes});
  Key(out, "suspended"), out += IsSuspended(report.StatusText) ? "true" : "false";
  Key(out, "up"), out += agent.Up ? "true" : "false";
  Key(out, "lost_reason"), AppendString(out, agent.LostReason);
  Key(out, "first_seen"), AppendNumber(out, agent.FirstSeenUnixMs);
  Key(out, "last_report"), AppendNumber(out, agent.LastReportUnixMs);
  Key(out, "reports"), AppendNumber(out, agent.Reports);
  Key(out, "history"), out += '[';
  for (size_t i = 0; i < agent.History.size(); ++i) {
    const TLoadPoint& point = agent.History[i];
    if (i > 0) out += ',';
    out += '[';
    AppendNumber(out, point.UnixMs), out += ',';
    AppendNumber(out, uint64_t{point.BusyPercent}), out += ',';
    AppendNumber(out, uint64_t{point.AgentPercent}), out += ']';
  }
  out += "]}";
}

// Case-insensitive search of `needle` (lower case) in `text`.
bool Contains(std::string_view text, std::string_view needle) {
  if (needle.empty()) return true;
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return std::search(text.begin(), text.end(), needle.begin(), needle.end(),
                     [&](char a, char b) { return lower(a) == b; }) != text.end();
}

bool Matches(const TAgentView& agent, const TAgentsQuery& query, const std::string& needle) {
  if (query.State == TAgentsQuery::EState::Up && !agent.Up) return false;
  if (query.State == TAgentsQuery::EState::Lost && agent.Up) return false;
  return Contains(agent.Latest.ComputerName, needle) || Contains(agent.Address, needle) ||
         Contains(agent.Up ? std::string_view(agent.Latest.StatusText) : std::string_view(agent.LostReason), needle);
}

// Dotted addresses in numeric order (10.0.0.7 before 10.0.0.12).
uint32_t AddressOrder(const std::string& address) {
  uint32_t order = 0;
  uint32_t part = 0;
  for (char c : address) {
    if (c == '.') {
      order = order << 8 | (part & 0xff);
      part = 0;
    } else if (c >= '0' && c <= '9') {
      part = part * 10 + static_cast<uint32_t>(c - '0');
    }
  }
  return order << 8 | (part & 0xff);
}

void SortAgents(std::vector<const TAgentView*>& agents, const TAgentsQuery& query) {
  using ESort = TAgentsQuery::ESort;
  auto before = [&](const TAgentView* a, const TAgentView* b) {
    switch (query.Sort) {
      case ESort::Name:
        if (a->Latest.ComputerName != b->Latest.ComputerName) return a->Latest.ComputerName < b->Latest.ComputerName;
        break;
      case ESort::Load: {
        const uint32_t loadA = a->Up ? LoadPercent(a->Latest.IdlePercent) : 0;
        const uint32_t loadB = b->Up ? LoadPercent(b->Latest.IdlePercent) : 0;
        if (loadA != loadB) return loadA < loadB;
        break;
      }
      case ESort::Status: {
        const std::string_view statusA = a->Up ? std::string_view(a->Latest.StatusText) : std::string_view();
        const std::string_view statusB = b->Up ? std::string_view(b->Latest.StatusText) : std::string_view();
        if (a->Up != b->Up) return a->Up < b->Up;
        if (statusA != statusB) return statusA < statusB;
        break;
      }
      case ESort::Address: break;
    }
    const uint32_t orderA = AddressOrder(a->Address), orderB = AddressOrder(b->Address);
    if (orderA != orderB) return orderA < orderB;
    return a->Id < b->Id;
  };
  if (query.Descending)
    std::stable_sort(agents.begin(), agents.end(), [&](const TAgentView* a, const TAgentView* b) { return before(b, a); });
  else
    std::stable_sort(agents.begin(), agents.end(), before);
}

bool Plain(const TAgentsQuery& query) {
  return query.Filter.empty() && query.State == TAgentsQuery::EState::All && query.Sort == TAgentsQuery::ESort::Address &&
         !query.Descending && query.Offset == 0 && query.Limit == SIZE_MAX;
}

}  // namespace

TAgentsQuery ParseAgentsQuery(std::string_view query) {
  TAgentsQuery parsed;
  while (!query.empty()) {
    const size_t end = std::min(query.find('&'), query.size());
    const std::string_view pair = query.substr(0, end);
    query.remove_prefix(std::min(end + 1, query.size()));
    const size_t equals = pair.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view name = pair.substr(0, equals);
    std::string value;
    if (!DecodeArgument(pair.substr(equals + 1), value)) continue;
    size_t number = 0;
    const bool isNumber =
        !value.empty() && std::from_chars(value.data(), value.data() + value.size(), number).ec == std::errc() &&
        value.find_first_not_of("0123456789") == std::string::npos;
    if (name == "filter") {
      for (char& c : value)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      parsed.Filter = value;
    } else if (name == "state") {
      if (value == "up") parsed.State = TAgentsQuery::EState::Up;
      if (value == "lost") parsed.State = TAgentsQuery::EState::Lost;
    } else if (name == "sort") {
      if (value == "name") parsed.Sort = TAgentsQuery::ESort::Name;
      if (value == "load") parsed.Sort = TAgentsQuery::ESort::Load;
      if (value == "status") parsed.Sort = TAgentsQuery::ESort::Status;
    } else if (name == "order") {
      parsed.Descending = value == "desc";
    } else if (name == "offset" && isNumber) {
      parsed.Offset = number;
    } else if (name == "limit" && isNumber) {
      parsed.Limit = number;
    }
  }
  return parsed;
}

std::string AgentsJson(const TRegistryView& view, uint16_t lobbyPort, const TAgentsQuery& query) {
  size_t up = 0;
  uint64_t processors = 0, poolThreads = 0, load = 0;
  for (const TAgentView* agent : view.Agents) {
    if (!agent->Up) continue;
    ++up;
    processors += agent->Latest.ProcessorCount;
    poolThreads += agent->Latest.PoolSize;
    load += LoadPercent(agent->Latest.IdlePercent);
  }
  std::vector<const TAgentView*> matched;
  const std::vector<const TAgentView*>* listed = &view.Agents;
  if (!Plain(query)) {
    for (const TAgentView* agent : view.Agents)
      if (Matches(*agent, query, query.Filter)) matched.push_back(agent);
    SortAgents(matched, query);
    listed = &matched;
  }
  const size_t first = std::min(query.Offset, listed->size());
  const size_t last = first + std::min(query.Limit, listed->size() - first);

  std::string out;
  out.reserve(512 + (last - first) * 512);
  out += '{';
  Key(out, "now", true), AppendNumber(out, view.NowUnixMs);
  Key(out, "agents_up"), AppendNumber(out, uint64_t{up});
  Key(out, "agents_known"), AppendNumber(out, uint64_t{view.Agents.size()});
  Key(out, "reports_received"), AppendNumber(out, view.ReportsReceived);
  Key(out, "reports_rejected"), AppendNumber(out, view.ReportsRejected);
  Key(out, "connections_accepted"), AppendNumber(out, view.ConnectionsAccepted);
  Key(out, "discovery_answers"), AppendNumber(out, view.DiscoveryAnswers);
  Key(out, "processors_up"), AppendNumber(out, processors);
  Key(out, "pool_threads_up"), AppendNumber(out, poolThreads);
  Key(out, "load_percent_up"), AppendNumber(out, up == 0 ? uint64_t{0} : (load + up / 2) / up);
  Key(out, "agents_matched"), AppendNumber(out, uint64_t{listed->size()});
  Key(out, "offset"), AppendNumber(out, uint64_t{first});
  Key(out, "agents"), out += '[';
  const std::string lobbySuffix = ":" + std::to_string(lobbyPort);
  for (size_t i = first; i < last; ++i) {
    if (i > first) out += ',';
    out += '{';
    AppendAgent(out, *(*listed)[i], lobbySuffix);
  }
  out += "]}";
  return out;
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
