// SPDX-License-Identifier: Apache-2.0
// The coordinator's UPDATE_STATUS text and the lobby's load summary, from
// any measurements (clock rates that are not numbers, infinite or huge
// included) and any computer name and status text: the report keeps its
// ten blank-separated fields, the summary its three, and each number field
// is a plain decimal.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <string>
#include <vector>

#include "Agent/T_AgentStatusThread.h"
#include "Common/CommandText.h"
#include "FuzzSupport.h"

namespace {

std::vector<std::string> Fields(const std::string& text) {
  std::vector<std::string> fields(1);
  for (char c : text) {
    if (c == ' ')
      fields.emplace_back();
    else
      fields.back() += c;
  }
  return fields;
}

// Optional minus sign, digits, and when `decimals` > 0 a full stop and that
// many digits.
bool IsDecimal(const std::string& text, size_t decimals) {
  size_t i = text.size() > 0 && text[0] == '-' ? 1 : 0;
  size_t digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  if (digits == 0) return false;
  if (decimals == 0) return i == text.size();
  if (i >= text.size() || text[i] != '.') return false;
  return text.size() - i - 1 == decimals && text.find_first_not_of("0123456789", i + 1) == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  // Any bit pattern: not-a-number, infinities and subnormals included.
  const auto ghz = std::bit_cast<float>(input.ConsumeIntegral<uint32_t>());
  const auto idle = input.ConsumeIntegral<uint32_t>();
  const auto agent = input.ConsumeIntegral<uint32_t>();
  const auto freeMB = input.ConsumeIntegral<uint32_t>();
  const auto processors = input.ConsumeIntegral<uint32_t>();
  const int pool = input.ConsumeIntegral<int>();
  const auto anyValue = std::bit_cast<double>(input.ConsumeIntegral<uint64_t>());
  const int decimals = input.ConsumeIntegralInRange<int>(0, 6);
  const std::string name = input.ConsumeRandomLengthString(256);
  const std::string status = input.ConsumeRemainingBytesAsString();

  FUZZ_CHECK(IsDecimal(FormatDecimal(anyValue, decimals), static_cast<size_t>(decimals)));

  const std::vector<std::string> report =
      Fields(TAgentStatusThread::BuildStatusReport(name, ghz, idle, agent, freeMB, status, processors, pool));
  FUZZ_CHECK(report.size() == 10);
  FUZZ_CHECK(report[0] == "UPDATE_STATUS");
  FUZZ_CHECK(IsDecimal(report[3], 3));
  for (size_t i : {1, 4, 5, 6, 8, 9}) FUZZ_CHECK(IsDecimal(report[i], 0));
  const std::string firstName = name.substr(0, name.find('\0'));
  const std::string firstStatus = status.substr(0, status.find('\0'));
  std::string decoded;
  FUZZ_CHECK(DecodeArgument(report[2], decoded).Ok() && decoded == firstName);
  FUZZ_CHECK(DecodeArgument(report[7], decoded).Ok() && decoded == firstStatus);

  const std::vector<std::string> summary = Fields(TAgentStatusThread::FormatLoadSummary(ghz, agent, idle, freeMB));
  FUZZ_CHECK(summary.size() == 3);
  FUZZ_CHECK(IsDecimal(summary[0], 1) && IsDecimal(summary[1], 1) && IsDecimal(summary[2], 0));
  return 0;
}
