// SPDX-License-Identifier: Apache-2.0
// TSlotError: the error a thread's last failing interface slot met. Task
// code calls the agent only through C slots (streams, IAgent), and no C++
// exception may cross into it: each slot runs its body under Run, which
// remembers a failure for the calling thread and answers the slot's failure
// value. A body reports an ordinary failure as a TStatus; Run also catches
// whatever the body raises (an assertion failure, no memory), as nothing may
// leave a slot. The pool thread Takes the error after the task returns and
// fails the task with it. Everything here is per thread.
#pragma once

#include <exception>
#include <type_traits>
#include <utility>

#include "Platform/T_Status.h"
#include "Platform/T_TaskGuard.h"

class TSlotError {
 public:
  // Remembers `text` for this thread. The first error stays: a task that
  // went on after it would have ended there had the error reached it.
  static void Remember(const char* text) noexcept;
  // Remembers the failure's text; nothing for an ok status.
  static void Remember(const TStatus& failure) noexcept;
  // The remembered error as a failure whose reason is its text, which is
  // forgotten; ok when nothing failed.
  static TStatus Take() noexcept;
  static void Clear() noexcept;

  // Runs a slot's body and answers what it answers. The body answers the
  // slot's value, or a TStatus in a slot without one; a failed status, or
  // anything the body raises, is remembered and `failure` answered. The body
  // is agent code called by a task: it runs with the task-fault guard
  // disarmed, so a fault in it is never jumped over.
  template <typename TResult, typename TBody>
  static TResult Run(TResult failure, TBody&& body) noexcept {
    TTaskGuard::TDisarm disarm;
    try {
      return std::forward<TBody>(body)();
    } catch (const std::exception& error) {
      Remember(error.what());
    } catch (...) {
      Remember(kUnknownError);
    }
    return failure;
  }
  template <typename TBody>
  static void Run(TBody&& body) noexcept {
    Run(true, [&] {
      if constexpr (std::is_same_v<decltype(body()), TStatus>) {
        const TStatus status = std::forward<TBody>(body)();
        Remember(status);
      } else {
        std::forward<TBody>(body)();
      }
      return true;
    });
  }

  // Inside a slot's body: `value` when `status` is ok; else remembers the
  // failure and answers `failure`.
  template <typename TResult>
  static TResult Answer(const TStatus& status, TResult value, TResult failure) noexcept {
    if (status.Ok()) return value;
    Remember(status);
    return failure;
  }

  // For the agent's own calls through a slot: runs `call` and answers the
  // error it remembered, which this thread then no longer holds. An error
  // remembered earlier (by the task around this call) is kept for the task.
  template <typename TCall>
  static TStatus Check(TCall&& call) {
    TStatus earlier = Take();
    std::forward<TCall>(call)();
    return Restore(std::move(earlier));
  }

  static constexpr const char* kUnknownError = "Unknown error";

 private:
  // Puts `earlier` back and answers what was remembered since.
  static TStatus Restore(TStatus&& earlier) noexcept;
};
