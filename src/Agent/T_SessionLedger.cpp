// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_SessionLedger.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <string.h>

#include "Agent/T_AgentStatusThread.h"

namespace {

constexpr uint64_t kOne = uint64_t{1} << 32;

uint32_t IdOf(uint64_t slot) { return static_cast<uint32_t>(slot); }
uint64_t CountOf(uint64_t slot) { return slot >> 32; }

}  // namespace

// Held for a few instructions by the session's threads; a waiter spins.
class TSessionLedger::TSpinGuard {
 public:
  explicit TSpinGuard(std::atomic<uint32_t>& lock) : Lock(lock) {
    while (Lock.exchange(1, std::memory_order_acquire) != 0)
      while (Lock.load(std::memory_order_relaxed) != 0) {
      }
  }
  ~TSpinGuard() { Lock.store(0, std::memory_order_release); }
  TSpinGuard(const TSpinGuard&) = delete;
  TSpinGuard& operator=(const TSpinGuard&) = delete;

 private:
  std::atomic<uint32_t>& Lock;
};

void TSessionLedger::Accepted(uint32_t taskId) {
  TSpinGuard guard(Region.Lock);
  for (size_t probe = 0, at = Home(taskId); probe < kSlots; ++probe, at = (at + 1) % kSlots) {
    const uint64_t slot = Region.Slots[at].load(std::memory_order_relaxed);
    if (slot == 0) {
      Region.Slots[at].store(kOne | taskId, std::memory_order_relaxed);
      return;
    }
    if (IdOf(slot) == taskId) {
      Region.Slots[at].store(slot + kOne, std::memory_order_relaxed);
      return;
    }
  }
  // A full table cannot happen within the session's bounds; the task then
  // goes unnoted and only a clean end answers it.
}

void TSessionLedger::Answered(uint32_t taskId) {
  TSpinGuard guard(Region.Lock);
  size_t at = Home(taskId);
  for (size_t probe = 0;; ++probe, at = (at + 1) % kSlots) {
    const uint64_t slot = Region.Slots[at].load(std::memory_order_relaxed);
    if (slot == 0 || probe == kSlots) return;
    if (IdOf(slot) != taskId) continue;
    if (CountOf(slot) > 1) {
      Region.Slots[at].store(slot - kOne, std::memory_order_relaxed);
      return;
    }
    break;
  }
  // Backward-shift deletion: the entries after the hole that would not be
  // found past it move up, so no probe ever stops early.
  size_t hole = at;
  for (size_t next = (hole + 1) % kSlots;; next = (next + 1) % kSlots) {
    const uint64_t slot = Region.Slots[next].load(std::memory_order_relaxed);
    if (slot == 0) break;
    const size_t home = Home(IdOf(slot));
    // Whether `home` lies cyclically in (hole, next]: then the entry stays.
    const bool stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
    if (stays) continue;
    Region.Slots[hole].store(slot, std::memory_order_relaxed);
    hole = next;
  }
  Region.Slots[hole].store(0, std::memory_order_relaxed);
}

namespace {

int64_t MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

void TSessionLedger::FaultCaught(int signal) noexcept {
  // Plain stores only: the text is written without the spin lock (a fault
  // may come while a thread holds it) and without allocation.
  const char* name = ::sigabbrev_np(signal);
  char text[64] = "SIG";
  std::strncat(text, name != nullptr ? name : "?", 16);
  std::strncat(text, " in task code", sizeof text - std::strlen(text) - 1);
  std::memcpy(Region.LastFault, text, std::strlen(text) + 1);
  Region.RecoveringSince.store(std::max<int64_t>(MonotonicMs(), 1), std::memory_order_release);
}

bool TSessionLedger::StuckAfterFault(int64_t limitMs) const {
  const int64_t since = Region.RecoveringSince.load(std::memory_order_acquire);
  return since != 0 && MonotonicMs() - since > limitMs;
}

void TSessionLedger::NoteFault(const std::string& text) {
  Region.RecoveringSince.store(0, std::memory_order_release);
  TSpinGuard guard(Region.Lock);
  const size_t length = std::min(text.size(), kFaultTextSize - 1);
  std::memcpy(Region.LastFault, text.data(), length);
  Region.LastFault[length] = '\0';
}

std::string TSessionLedger::LastFault() const {
  return std::string(Region.LastFault, strnlen(Region.LastFault, kFaultTextSize));
}

std::vector<uint32_t> TSessionLedger::Unanswered() const {
  std::vector<uint32_t> ids;
  for (const std::atomic<uint64_t>& entry : Region.Slots) {
    const uint64_t slot = entry.load(std::memory_order_relaxed);
    for (uint64_t n = CountOf(slot); n > 0 && ids.size() < kSlots; --n) ids.push_back(IdOf(slot));
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

void TSessionLedger::SetLoad(float processorGHz, uint32_t agentPercent, uint32_t idlePercent,
                             uint32_t freeMemoryMB) {
  Region.ProcessorGHzBits.store(std::bit_cast<uint32_t>(processorGHz), std::memory_order_relaxed);
  Region.AgentPercent.store(agentPercent, std::memory_order_relaxed);
  Region.IdlePercent.store(idlePercent, std::memory_order_relaxed);
  Region.FreeMemoryMB.store(freeMemoryMB, std::memory_order_relaxed);
}

std::string TSessionLedger::LoadSummary() const {
  return TAgentStatusThread::FormatLoadSummary(
      std::bit_cast<float>(Region.ProcessorGHzBits.load(std::memory_order_relaxed)),
      Region.AgentPercent.load(std::memory_order_relaxed), Region.IdlePercent.load(std::memory_order_relaxed),
      Region.FreeMemoryMB.load(std::memory_order_relaxed));
}
