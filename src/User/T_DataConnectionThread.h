// TDataConnectionThread: serves one agent session's connection to the
// grid's data port. The agent asks and the grid answers: GET_FILE by name
// and GET_DATA by identifier ("Ok" and the bytes, or a refusal), and it
// reports tasks (TASK_DONE with the output, TASK_FAILED with the text),
// which go to the board by task id: the connection does not say which
// session it belongs to, the id says which task a report is for. Serve runs
// on the connection's own thread (the grid's data listener makes one per
// connection) until the agent closes the connection or the listener stops.
#pragma once

#include <string>

#include "Common/T_Connection.h"
#include "User/T_GridContent.h"
#include "User/T_TaskBoard.h"

class TDataConnectionThread {
 public:
  // Both borrowed; they outlive the listener that serves the connection.
  TDataConnectionThread(const TGridContent& content, TTaskBoard& board) : Content(content), Board(board) {}

  // Serves `agent` (borrowed) on the calling thread until it ends.
  void Serve(TConnection& agent);

 private:
  // Answers a request for `name` with the bytes found, or a refusal (and
  // a warning) when there are none.
  void Answer(TConnection& agent, const TGridContent::TBytes& bytes, const std::string& what);

  const TGridContent& Content;  // borrowed
  TTaskBoard& Board;            // borrowed
};
