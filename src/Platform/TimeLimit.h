// The agent's one "no limit" time-out, for every wait, socket call and
// stream view: a time-out in milliseconds that is kInfiniteWait, or
// negative, never elapses; 0 means "look once and do not wait".
#pragma once

#include <chrono>
#include <optional>

constexpr int kInfiniteWait = 2147483647;

constexpr bool HasTimeLimit(int timeoutMs) { return timeoutMs >= 0 && timeoutMs != kInfiniteWait; }

// The moment a time-out of `timeoutMs` from now elapses; none without a limit.
inline std::optional<std::chrono::steady_clock::time_point> DeadlineOf(int timeoutMs) {
  if (!HasTimeLimit(timeoutMs)) return std::nullopt;
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}
