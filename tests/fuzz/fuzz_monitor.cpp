// The monitor's readers of what peers send: any status report text and any
// /agents.json text are decoded or refused, never a crash or a throw; and
// every report a real agent can build is taken whole, with each item as the
// agent sent it, and comes through the registry into an agent list that
// reads back.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "Agent/T_AgentStatusThread.h"
#include "Common/CommandText.h"
#include "FuzzSupport.h"
#include "Monitor/AgentReport.h"
#include "Monitor/AgentsJson.h"
#include "Monitor/T_AgentRegistry.h"

namespace {

void AgentReportRoundTrip(FuzzedDataProvider& input) {
  // What an agent measures: a processor's speed (finite, not negative),
  // any 32-bit shares and counts, a pool of at least one thread, any texts.
  const float ghz = input.ConsumeFloatingPointInRange<float>(0, 1e6f);
  const auto idle = input.ConsumeIntegral<uint32_t>();
  const auto agent = input.ConsumeIntegral<uint32_t>();
  const auto freeMB = input.ConsumeIntegral<uint32_t>();
  const auto processors = input.ConsumeIntegral<uint32_t>();
  const int pool = input.ConsumeIntegralInRange<int>(1, 1 << 20);
  const std::string name = input.ConsumeRandomLengthString(256);
  const std::string status = input.ConsumeRemainingBytesAsString();

  const std::string text = TAgentStatusThread::BuildStatusReport(name, ghz, idle, agent, freeMB, status, processors, pool);
  std::string error;
  const std::optional<TAgentReport> report = ParseStatusReport(text, error);
  FUZZ_CHECK(report.has_value());
  FUZZ_CHECK(report->Version == 265);
  FUZZ_CHECK(report->ComputerName == name.substr(0, name.find('\0')));
  FUZZ_CHECK(report->StatusText == status.substr(0, status.find('\0')));
  FUZZ_CHECK(FormatDecimal(report->ProcessorGHz, 3) == FormatDecimal(ghz, 3));
  FUZZ_CHECK(report->IdlePercent == idle && report->AgentPercent == agent && report->FreeMemoryMB == freeMB);
  FUZZ_CHECK(report->ProcessorCount == processors && report->PoolSize == static_cast<uint32_t>(pool));
  FUZZ_CHECK(LoadPercent(idle) <= 100 && SharePercent(agent) <= 100);

  TAgentRegistry registry([] { return int64_t{1'700'000'000'000}; }, 10'000);
  registry.Report(registry.Connected("10.0.0.7"), *report);
  TAgentList list;
  FUZZ_CHECK(ParseAgentsJson(AgentsJson(registry.Snapshot(), 4102), list));
  FUZZ_CHECK(list.Agents.size() == 1);
  FUZZ_CHECK(list.Agents[0].Lobby == "10.0.0.7:4102" && list.Agents[0].Up);
  FUZZ_CHECK(list.Agents[0].Processors == processors && list.Agents[0].PoolSize == static_cast<uint32_t>(pool));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::string error;
  TAgentList list;
  switch (input.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      AgentReportRoundTrip(input);
      break;
    case 1:
      (void)ParseStatusReport(input.ConsumeRemainingBytesAsString(), error);
      break;
    default:
      (void)ParseAgentsJson(input.ConsumeRemainingBytesAsString(), list);
      break;
  }
  return 0;
}
