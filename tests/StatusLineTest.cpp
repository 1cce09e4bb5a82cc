// SPDX-License-Identifier: Apache-2.0
// The headless agent's status line: the session list's status text, cut
// where ten thousand queued tasks would make it a line of 110 KB.
#include "Agent/StatusLine.h"

#include <gtest/gtest.h>

#include "Agent/T_SessionList.h"

namespace {

// The ids "0#, 1#, ..." of `count` pool-queued tasks, as a session's list
// shows them.
std::string QueuedIds(int count) {
  std::string ids;
  for (int id = 0; id < count; ++id) ids += (id > 0 ? ", " : "") + std::to_string(id) + "#";
  return ids;
}

// The number in "... and N more" after `from`, or -1.
long MoreAfter(const std::string& line, size_t from = 0) {
  const size_t at = line.find("... and ", from);
  return at == std::string::npos ? -1 : std::stol(line.substr(at + 8));
}

// The ids a list shows before its note.
long IdsShown(const std::string& line, const std::string& address) {
  const size_t open = line.find(address + "[") + address.size() + 1;
  const std::string list = line.substr(open, line.find(']', open) - open);
  long ids = 0;
  for (char c : list) ids += c == '#' ? 1 : 0;
  return ids;
}

}  // namespace

TEST(StatusLine, AShortTextIsPrintedWhole) {
  TSessionList sessions;
  sessions.AddSession("10.0.0.7");
  sessions.SetSessionTasks("10.0.0.7", QueuedIds(5));
  const std::string text = sessions.StatusText(12, csSearching);
  EXPECT_EQ(ShortStatusLine(text), text);
  EXPECT_EQ(ShortStatusLine(text, text.size()), text);
  EXPECT_EQ(ShortStatusLine("Unassigned"), "Unassigned");
}

TEST(StatusLine, TenThousandTasksAreCutToAReadableLineThatCountsTheRest) {
  TSessionList sessions;
  sessions.AddSession("10.0.0.7");
  sessions.SetSessionTasks("10.0.0.7", QueuedIds(10000));
  const std::string text = sessions.StatusText(12, csSearching);
  ASSERT_GT(text.size(), 60000u);
  const std::string line = ShortStatusLine(text);
  EXPECT_LE(line.size(), kStatusLineLimit);
  EXPECT_EQ(line.rfind("Working for 10.0.0.7[0#, 1#, 2#, ", 0), 0u) << line;
  EXPECT_NE(line.find("#, ... and "), std::string::npos) << "whole ids, then the note: " << line;
  EXPECT_EQ(line.substr(line.find(" more]")), " more] [suspended, 12], searching for coordinator...");
  EXPECT_EQ(IdsShown(line, "10.0.0.7") + MoreAfter(line), 10000);
  EXPECT_GT(IdsShown(line, "10.0.0.7"), 20) << "the room is used";
}

// Ids are left out first to last: once one list is cut, the lists after it
// show only their count; lists and everything around them stay.
TEST(StatusLine, ListsAfterTheCutShowOnlyTheirCount) {
  TSessionList sessions;
  for (const char* address : {"10.0.0.7", "10.0.0.8", "10.0.0.9"}) sessions.AddSession(address);
  sessions.SetSessionTasks("10.0.0.7", QueuedIds(300));
  sessions.SetSessionTasks("10.0.0.8", QueuedIds(3));
  const std::string line = ShortStatusLine(sessions.StatusText(0, csReporting));
  EXPECT_LE(line.size(), kStatusLineLimit);
  EXPECT_EQ(IdsShown(line, "10.0.0.7") + MoreAfter(line), 300);
  EXPECT_NE(line.find(", 10.0.0.8[... and 3 more], 10.0.0.9[]"), std::string::npos) << line;
  EXPECT_EQ(line.back(), ']');
}
