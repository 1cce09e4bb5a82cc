// TDataConnectionThread: serves one agent session's connection to the
// grid's data port. The agent asks and the grid answers: GET_FILE by name
// and GET_DATA by identifier ("Ok" and the bytes, or a refusal), and it
// reports tasks (TASK_DONE with the output, TASK_FAILED with the text),
// which go to the board by task id: the connection does not say which
// session it belongs to, the id says which task a report is for. Runs
// until the agent closes the connection or the server stops.
#pragma once

#include <string>

#include "Common/T_ServerClientThread.h"
#include "User/T_GridContent.h"
#include "User/T_TaskBoard.h"

class TDataConnectionThread : public TServerClientThread {
 public:
  // Both borrowed; they outlive the server that owns the thread.
  TDataConnectionThread(const TGridContent& content, TTaskBoard& board)
      : TServerClientThread("Grid data"), Content(content), Board(board) {}

 protected:
  void ClientExecute() override;

 private:
  // Answers a request for `name` with the bytes found, or a refusal (and
  // a warning) when there are none.
  void Answer(const TGridContent::TBytes& bytes, const std::string& what);

  const TGridContent& Content;  // borrowed
  TTaskBoard& Board;            // borrowed
};
