// SPDX-License-Identifier: Apache-2.0
// ITaskReport: what a pool thread tells the session that handed it a task.
// The session's worker implements it; pool threads call it after a task,
// never while they hold the pool lock. Both calls are safe from any thread.
#pragma once

class ITaskReport {
 public:
  virtual ~ITaskReport() = default;

  // A task of the session has left the pool.
  virtual void ReportTasks() = 0;

  // A report to the user could not be sent; the session is to end.
  virtual void MarkPeerFailed() = 0;
};
