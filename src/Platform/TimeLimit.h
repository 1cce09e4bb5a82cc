// SPDX-License-Identifier: Apache-2.0
// The agent's one "no limit" time-out, for every wait, socket call and
// stream view: a time-out in milliseconds that is kInfiniteWait, or
// negative, never elapses; 0 means "look once and do not wait".
#pragma once

#include <algorithm>
#include <chrono>
#include <optional>

constexpr int kInfiniteWait = 2147483647;

constexpr bool HasTimeLimit(int timeoutMs) { return timeoutMs >= 0 && timeoutMs != kInfiniteWait; }

// The moment a time-out of `timeoutMs` from now elapses; none without a limit.
inline std::optional<std::chrono::steady_clock::time_point> DeadlineOf(int timeoutMs) {
  if (!HasTimeLimit(timeoutMs)) return std::nullopt;
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}

// One deadline for a whole exchange (a frame, a request and its answer):
// each wait of it is given what is left, so a peer that moves a byte now and
// then cannot stretch the exchange past the time-out. A value; any thread.
class TDeadline {
 public:
  // `timeoutMs` from now; kInfiniteWait or negative: never.
  explicit TDeadline(int timeoutMs) : TimeOutMs(timeoutMs), At(DeadlineOf(timeoutMs)) {}

  // What is left for the next wait: kInfiniteWait without a limit, 0 once
  // the deadline has passed, never more than the time-out.
  int RemainingMs() const {
    if (!At) return kInfiniteWait;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*At - std::chrono::steady_clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, TimeOutMs));
  }

 private:
  int TimeOutMs;
  std::optional<std::chrono::steady_clock::time_point> At;
};
