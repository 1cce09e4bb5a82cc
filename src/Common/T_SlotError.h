// TSlotError: the error a thread's last failing interface slot raised. Task
// code calls the agent only through C slots (streams, IAgent), and no C++
// exception may cross into it: each slot runs its body under Run, which
// catches everything, remembers the text for the calling thread and answers
// the slot's failure value. The pool thread Takes the text after the task
// returns and fails the task with it. Everything here is per thread.
#pragma once

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "Platform/T_TaskGuard.h"

class TSlotError {
 public:
  // Remembers `text` for this thread. The first error stays: a task that
  // went on after it would have ended there had the error reached it.
  static void Remember(const char* text) noexcept;
  // The remembered text, which is forgotten; none when nothing failed.
  static std::optional<std::string> Take() noexcept;
  static void Clear() noexcept;

  // Runs a slot's body; an exception is remembered and `failure` answered.
  // The body is agent code called by a task: it runs with the task-fault
  // guard disarmed, so a fault in it is never jumped over.
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
    TTaskGuard::TDisarm disarm;
    try {
      std::forward<TBody>(body)();
    } catch (const std::exception& error) {
      Remember(error.what());
    } catch (...) {
      Remember(kUnknownError);
    }
  }

  // For the agent's own calls through a slot: runs `call` and raises the
  // error it remembered as an exception again. An error remembered earlier
  // (by the task around this call) is kept for the task.
  template <typename TCall>
  static auto Check(TCall&& call) -> decltype(call()) {
    std::optional<std::string> earlier = Take();
    if constexpr (std::is_void_v<decltype(call())>) {
      std::forward<TCall>(call)();
      Restore(std::move(earlier));
    } else {
      auto result = std::forward<TCall>(call)();
      Restore(std::move(earlier));
      return result;
    }
  }

  static constexpr const char* kUnknownError = "Unknown error";

 private:
  // Puts `earlier` back and raises what was remembered since.
  static void Restore(std::optional<std::string>&& earlier);
};
