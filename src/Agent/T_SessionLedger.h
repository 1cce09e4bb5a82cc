// SPDX-License-Identifier: Apache-2.0
// TSessionLedger: what the agent must know of a session process should it
// end abnormally, kept in memory the two share (one region per session).
// The session process notes each task it accepts and each it has answered,
// the text of the last fault a task had, and, as its last act, that it
// ended its session normally; the agent reads the region once the process
// has ended, and answers every task still noted with TASK_FAILED. The agent
// also keeps the load summary there that the session's reports carry.
//
// Cost: the hot path (a task accepted, a task answered) is a spin lock and
// a probe of an open-addressed table in memory, no system call.
//
// Threads: in the session process, any thread notes (a spin lock of the
// region keeps them apart; nothing is taken under it). The agent's host
// thread of the session writes the load and reads the rest after the
// process has ended.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class TSessionLedger {
 public:
  // Tasks one session can hold unanswered at once (its queue's bound and
  // its pool) fill well under a third of the table.
  static constexpr size_t kSlots = 32768;
  static constexpr size_t kFaultTextSize = 512;

  // The region as it lies in shared memory; all zero is an empty ledger.
  struct TRegion {
    std::atomic<uint32_t> Lock;
    std::atomic<uint32_t> CleanEnd;
    // The load summary's parts (TAgentStatusThread::FormatLoadSummary).
    std::atomic<uint32_t> ProcessorGHzBits;
    std::atomic<uint32_t> AgentPercent;
    std::atomic<uint32_t> IdlePercent;
    std::atomic<uint32_t> FreeMemoryMB;
    // Monotonic milliseconds since a task's fault was caught, until its text
    // was formed; 0 when no fault waits for that.
    std::atomic<int64_t> RecoveringSince;
    char LastFault[kFaultTextSize];
    // 0: empty; else (count << 32) | task id.
    std::atomic<uint64_t> Slots[kSlots];
  };

  // Works on `region` (borrowed for the object's life).
  explicit TSessionLedger(TRegion& region) : Region(region) {}
  TSessionLedger(const TSessionLedger&) = delete;
  TSessionLedger& operator=(const TSessionLedger&) = delete;

  // The ledger of this process when it is a session process; null in the
  // agent. Set once, before the session's threads start.
  static TSessionLedger* OfThisProcess() { return Current; }
  static void SetForThisProcess(TSessionLedger* ledger) { Current = ledger; }

  // The session process's side.
  void Accepted(uint32_t taskId);
  void Answered(uint32_t taskId);
  // A fault was caught (`signal`), its text not formed yet: allocates
  // nothing, takes no lock (the caught fault may hold the heap's).
  void FaultCaught(int signal) noexcept;
  // The fault's text, once formed (the session goes on).
  void NoteFault(const std::string& text);
  // True when a caught fault's text has not been formed within
  // `limitMs`: the faulting thread waits on a lock the task left held, and
  // the process is damaged.
  bool StuckAfterFault(int64_t limitMs) const;
  void MarkCleanEnd() { Region.CleanEnd.store(1, std::memory_order_release); }
  std::string LoadSummary() const;

  // The agent's side.
  void SetLoad(float processorGHz, uint32_t agentPercent, uint32_t idlePercent, uint32_t freeMemoryMB);
  // Every task noted and not answered (an id accepted twice, twice).
  std::vector<uint32_t> Unanswered() const;
  std::string LastFault() const;
  bool EndedCleanly() const { return Region.CleanEnd.load(std::memory_order_acquire) != 0; }

 private:
  class TSpinGuard;
  static size_t Home(uint32_t taskId) { return (taskId * 2654435761u) % kSlots; }

  TRegion& Region;  // borrowed
  static inline TSessionLedger* Current = nullptr;
};
