// SPDX-License-Identifier: Apache-2.0
// The monitor's readers of what peers send: any status report text, any
// bytes on a status connection and any /agents.json text are decoded or
// refused, never a crash or a throw; and every report a real agent can build
// is taken whole, with each item as the agent sent it (read as a frame in
// pieces of any size, its texts as the reader keeps them), and comes through
// the registry into an agent list that reads back.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "Agent/T_AgentStatusThread.h"
#include "Common/CommandText.h"
#include "FuzzSupport.h"
#include "Monitor/AgentReport.h"
#include "Monitor/AgentsJson.h"
#include "Monitor/T_AgentRegistry.h"
#include "Monitor/T_ReportReader.h"

namespace {

std::string Frame(const std::string& text) {
  const auto size = static_cast<uint32_t>(text.size());
  return std::string{static_cast<char>(size), static_cast<char>(size >> 8), static_cast<char>(size >> 16),
                     static_cast<char>(size >> 24)} +
         text;
}

// Reads `bytes` in pieces of `piece` bytes; the reports of the frames that
// ended, until one is refused.
std::vector<TAgentReport> ReadFrames(const std::string& bytes, size_t piece) {
  TReportReader reader(1 << 20);
  std::vector<TAgentReport> reports;
  for (size_t at = 0; at < bytes.size();) {
    size_t used = 0;
    const TReportReader::EStep step = reader.Take(std::string_view(bytes).substr(at, piece), used);
    at += used;
    if (step == TReportReader::EStep::TooLong) break;
    if (step != TReportReader::EStep::Frame) continue;
    std::string error;
    std::optional<TAgentReport> report = reader.Report(error);
    if (!report) break;
    FUZZ_CHECK(report->ComputerName.size() <= TReportReader::kMaxNameBytes + 3);
    FUZZ_CHECK(report->StatusText.size() <= TReportReader::kShownStatusBytes + 3 + TReportReader::kShownTailBytes);
    reports.push_back(*report);
  }
  return reports;
}

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

  // The same report read as a frame, in pieces: whole when its texts are
  // short enough to be kept whole.
  const std::vector<TAgentReport> read = ReadFrames(Frame(text), 1 + size_t{processors} % 97);
  FUZZ_CHECK(read.size() == 1);
  TAgentReport expected = *report;
  if (expected.ComputerName.size() > TReportReader::kMaxNameBytes) expected.ComputerName = read[0].ComputerName;
  if (expected.StatusText.size() > TReportReader::kShownStatusBytes + TReportReader::kShownTailBytes)
    expected.StatusText = read[0].StatusText;
  FUZZ_CHECK(read[0] == expected);

  TAgentRegistry registry([] { return int64_t{1'700'000'000'000}; }, 10'000);
  registry.Report(registry.Connected("10.0.0.7"), *report);
  TAgentList list;
  registry.Read([&](const TRegistryView& view) { FUZZ_CHECK(ParseAgentsJson(AgentsJson(view, 4102), list)); });
  FUZZ_CHECK(list.Agents.size() == 1);
  FUZZ_CHECK(list.Agents[0].Lobby == "10.0.0.7:4102" && list.Agents[0].Up);
  FUZZ_CHECK(list.Agents[0].Processors == processors && list.Agents[0].PoolSize == static_cast<uint32_t>(pool));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::string error;
  TAgentList list;
  switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      AgentReportRoundTrip(input);
      break;
    case 1:
      (void)ParseStatusReport(input.ConsumeRemainingBytesAsString(), error);
      break;
    case 2: {
      const size_t piece = input.ConsumeIntegralInRange<size_t>(1, 4096);
      (void)ReadFrames(input.ConsumeRemainingBytesAsString(), piece);
      break;
    }
    default:
      (void)ParseAgentsJson(input.ConsumeRemainingBytesAsString(), list);
      break;
  }
  return 0;
}
