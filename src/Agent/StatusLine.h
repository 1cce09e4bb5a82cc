// SPDX-License-Identifier: Apache-2.0
// The status line the headless agent prints: the status text (TSessionList)
// cut at a readable length. The text itself stays whole wherever else it
// goes (reports to the coordinator, the window); with ten thousand tasks
// queued it runs to some hundred kilobytes. A plain function; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The printed line's length at most, unless the text without its task ids is
// about as long already (very many sessions).
constexpr size_t kStatusLineLimit = 200;

// `statusText` when it has at most `limit` characters. Else the same text
// with the task ids (in the lists in brackets after the addresses) that go
// beyond `limit` left out, first to last: a list that lost ids ends with
// "... and N more" ("Working for 10.0.0.7[19#, 17*, 18*,20, ... and 9996
// more], searching for coordinator..."). Everything but task ids stays.
std::string ShortStatusLine(std::string_view statusText, size_t limit = kStatusLineLimit);
