// SPDX-License-Identifier: Apache-2.0
#include "Submit/T_ProgressLine.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

constexpr int kBarWidth = 24;

// A number with one decimal, without the process locale.
std::string OneDecimal(double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1);
  return std::string(text, result.ptr);
}

double Rate(uint64_t finished, double elapsedSeconds) {
  return elapsedSeconds > 0 ? static_cast<double>(finished) / elapsedSeconds : 0.0;
}

}  // namespace

std::string TProgressLine::Format(uint64_t done, uint64_t failed, uint64_t total, bool totalKnown,
                                  double elapsedSeconds) {
  const uint64_t finished = done + failed;
  std::string line;
  if (totalKnown) {
    const int filled = total == 0 ? kBarWidth : static_cast<int>(std::min(finished, total) * kBarWidth / total);
    line = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "] ";
  }
  line += std::to_string(finished) + "/" + std::to_string(total) + (totalKnown ? "" : "+") + "  done " +
          std::to_string(done) + "  failed " + std::to_string(failed);
  const double rate = Rate(finished, elapsedSeconds);
  line += "  " + OneDecimal(rate) + " tasks/s";
  if (totalKnown && finished < total && rate > 0) {
    const double left = std::ceil(static_cast<double>(total - finished) / rate);
    line += "  " + std::to_string(static_cast<uint64_t>(left)) + " s left";
  }
  return line;
}

std::string TProgressLine::Summary(uint64_t done, uint64_t failed, double elapsedSeconds) {
  return std::to_string(done) + " done, " + std::to_string(failed) + " failed in " + OneDecimal(elapsedSeconds) +
         " s (" + OneDecimal(Rate(done + failed, elapsedSeconds)) + " tasks/s)";
}

std::string TProgressLine::AgentLine(const std::string& agent, uint64_t done, uint64_t failed) {
  return "  " + (agent.empty() ? std::string("without an agent") : agent) + ": " + std::to_string(done) + " done, " +
         std::to_string(failed) + " failed";
}
