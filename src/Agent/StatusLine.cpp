// SPDX-License-Identifier: Apache-2.0
#include "Agent/StatusLine.h"

#include <vector>

namespace {

// The room a list's "... and N more" takes, at most.
constexpr size_t kNoteRoom = 24;

// The ids of a task list, between its brackets: `Open` and `Close` index
// them in the status text.
struct TTaskList {
  size_t Open;
  size_t Close;
};

// The task lists of a status text: each follows an address directly; the
// other brackets (" [suspended, N]") follow a blank.
std::vector<TTaskList> TaskLists(std::string_view text) {
  std::vector<TTaskList> lists;
  for (size_t open = text.find('['); open != std::string_view::npos; open = text.find('[', open + 1)) {
    if (open == 0 || text[open - 1] == ' ') continue;
    const size_t close = text.find(']', open);
    if (close == std::string_view::npos) break;
    lists.push_back({open, close});
    open = close;
  }
  return lists;
}

}  // namespace

std::string ShortStatusLine(std::string_view statusText, size_t limit) {
  if (statusText.size() <= limit) return std::string(statusText);
  const std::vector<TTaskList> lists = TaskLists(statusText);
  // Everything but the ids, and a note for each list that has ids.
  size_t fixed = statusText.size();
  for (const TTaskList& list : lists) {
    const size_t ids = list.Close - list.Open - 1;
    if (ids > 0) fixed = fixed - ids + kNoteRoom;
  }
  // What the kept ids may take, first list first.
  size_t room = limit > fixed ? limit - fixed : 0;
  std::string line;
  size_t copied = 0;
  for (const TTaskList& list : lists) {
    line.append(statusText.substr(copied, list.Open + 1 - copied));
    copied = list.Close;
    const std::string_view items = statusText.substr(list.Open + 1, list.Close - list.Open - 1);
    if (items.empty()) continue;
    // Whole ids (each with the separator before it) while they fit.
    size_t kept = 0;
    size_t count = 0;
    size_t left = 0;
    for (size_t start = 0; start <= items.size();) {
      size_t end = items.find(',', start);
      if (end == std::string_view::npos) end = items.size();
      if (left == 0 && end <= room) {
        kept = end;
        ++count;
      } else {
        ++left;
      }
      start = end + 1;
    }
    // Once an id is left out, so are all after it.
    room = left > 0 ? 0 : room - kept;
    line.append(items.substr(0, kept));
    if (left > 0) line += (count > 0 ? ", ... and " : "... and ") + std::to_string(left) + " more";
  }
  line.append(statusText.substr(copied));
  return line;
}
