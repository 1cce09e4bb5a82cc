// SPDX-License-Identifier: Apache-2.0
// TDataConnectionThread: serves one connection to the grid's data port,
// from an address the guard admitted. The agent asks and the grid answers:
// GET_FILE by name and GET_DATA by identifier ("Ok" and the bytes, or a
// refusal), and it reports tasks (TASK_DONE with the output, TASK_FAILED
// with the text). The connection does not say which session it belongs to:
// a report goes to the board by task id when the guard finds that task in
// flight on the session of an agent at the connection's address (or on its
// session that ended last, not sent again since), and is dropped otherwise
// (a warning when the task still waits for its result).
//
// Bounds: between requests the connection may stay silent for as long as
// an agent of the grid is at its address (an agent keeps it open for its
// session's life); once a request has begun, each of its frames must
// arrive within kFrameMs, paced for a large block (PacedTimeoutMs), and an
// answer leaves within the same; a request text beyond kMostRequestBytes,
// a frame out of time or an answer that cannot leave ends the connection,
// with a warning for the first two. Serve runs on the connection's own
// thread (the grid's data listener makes one per connection) until the
// agent closes the connection, the listener stops or a bound ends it.
#pragma once

#include <cstdint>
#include <string>

#include "Common/T_Connection.h"
#include "User/T_DataPortGuard.h"
#include "User/T_GridContent.h"
#include "User/T_TaskBoard.h"

class TDataConnectionThread {
 public:
  // The agent's own bound of a frame.
  static constexpr int kFrameMs = 20000;
  // The longest request text: a command with a failure's text.
  static constexpr int32_t kMostRequestBytes = 1 << 20;
  // How often a silent connection checks that an agent is still at its
  // address.
  static constexpr int kIdleCheckMs = 1000;

  // All borrowed; they outlive the listener that serves the connection.
  TDataConnectionThread(const TGridContent& content, TTaskBoard& board, TDataPortGuard& guard)
      : Content(content), Board(board), Guard(guard) {}

  // Serves `agent` (borrowed) on the calling thread until it ends.
  void Serve(TConnection& agent);

 private:
  // Waits for the next request while an agent is at the address, and reads
  // its text into `text`; false when the connection is to end.
  bool NextRequest(TConnection& agent, std::string& text);
  // A report of the task named by `idText`: `output` (TASK_DONE) or
  // `failure` (TASK_FAILED). Reads TASK_DONE's block, held only when the
  // report is taken; false when the connection is to end.
  bool TakeReport(TConnection& agent, const std::string& command, const std::string& idText, std::string failure);
  // Answers a request with the bytes found, or a refusal (and a warning)
  // when there are none; false when the answer could not leave.
  bool Answer(TConnection& agent, const TGridContent::TBytes& bytes, const std::string& what);
  // A frame that failed: a warning when it was out of time or too long.
  void FrameFailed(const TStatus& read, int32_t announced = 0);

  const TGridContent& Content;  // borrowed
  TTaskBoard& Board;            // borrowed
  TDataPortGuard& Guard;        // borrowed

  // The connection's peer, set as Serve begins.
  uint32_t Address = 0;
  std::string From;  // its dotted text
};
