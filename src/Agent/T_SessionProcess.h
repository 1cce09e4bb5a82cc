// SPDX-License-Identifier: Apache-2.0
// TSessionProcess: a session's own process (the agent's program started
// again with --session-process). It takes over what the agent handed it
// (the lobby connection, the control socket, the board, the global lock,
// the ledger), confines itself, serves the session exactly as a session of
// the agent does (TAgentLobbySocketThread on the main thread), and ends
// when the session has ended. Meanwhile a control thread answers the
// agent's questions with the session's task list.
//
// What the session process does to itself, in order: it follows the agent
// (it dies with it, and leaves stop requests to it); it confines file
// access and memory before any other thread starts (so every thread it
// makes, the task threads among them, inherits the confinement); and once
// the session's connection to the user is open, before the first task
// library loads, it confines the system calls of every thread.
#pragma once

class TSessionProcess {
 public:
  // The whole process; `argv` as given to main, starting with the program
  // and "--session-process". Answers the exit status: 0 once the session
  // has ended normally.
  static int Run(int argc, char** argv);
};
