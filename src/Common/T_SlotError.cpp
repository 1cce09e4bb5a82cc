// SPDX-License-Identifier: Apache-2.0
#include "Common/T_SlotError.h"

namespace {

thread_local TStatus Remembered;

// Keeps what `make` answers as the thread's error, unless one is kept
// already.
template <typename TMake>
void Keep(TMake&& make) noexcept {
  if (!Remembered.Ok()) return;
  try {
    Remembered = make();
  } catch (...) {
    // No memory for the text: an error must still fail the task. A short
    // text fits the string's own storage and needs no allocation.
    Remembered = TStatus::Failure("", "Out of memory");
  }
}

}  // namespace

void TSlotError::Remember(const char* text) noexcept {
  Keep([text] { return TStatus::Failure("", text != nullptr ? text : ""); });
}

void TSlotError::Remember(const TStatus& failure) noexcept {
  if (!failure.Ok()) Keep([&failure] { return TStatus::Failure("", failure.Text()); });
}

TStatus TSlotError::Take() noexcept {
  TStatus taken = std::move(Remembered);
  Remembered = TStatus();
  return taken;
}

void TSlotError::Clear() noexcept { Remembered = TStatus(); }

TStatus TSlotError::Restore(TStatus&& earlier) noexcept {
  TStatus raised = Take();
  Remembered = std::move(earlier);
  return raised;
}
