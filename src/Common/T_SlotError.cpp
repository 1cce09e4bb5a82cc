#include "Common/T_SlotError.h"

namespace {

thread_local std::optional<std::string> Remembered;

}  // namespace

void TSlotError::Remember(const char* text) noexcept {
  if (Remembered.has_value()) return;
  try {
    Remembered.emplace(text != nullptr ? text : "");
  } catch (...) {
    // No memory for the text: an error must still fail the task. A short
    // text fits the string's own storage and needs no allocation.
    Remembered.emplace();
    Remembered->assign("Out of memory");
  }
}

std::optional<std::string> TSlotError::Take() noexcept {
  std::optional<std::string> text = std::move(Remembered);
  Remembered.reset();
  return text;
}

void TSlotError::Clear() noexcept { Remembered.reset(); }

void TSlotError::Restore(std::optional<std::string>&& earlier) {
  std::optional<std::string> raised = Take();
  Remembered = std::move(earlier);
  if (raised.has_value()) throw std::runtime_error(*raised);
}
