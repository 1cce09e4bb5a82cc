// SPDX-License-Identifier: Apache-2.0
// ITaskListSource: a session's task list, formed when it is read. A
// session's worker implements it and registers it in the session list
// (TSessionList::TTaskListRegistration), which asks it while forming the
// status text, from any thread, with the session lock held: the source
// takes only locks that may follow that one (Agent/LockOrder.h).
#pragma once

#include <string>

class ITaskListSource {
 public:
  virtual ~ITaskListSource() = default;

  // "19#, 17*, 18*,20,21": the session's tasks as the status text shows
  // them.
  virtual std::string GetTaskList() = 0;
};
