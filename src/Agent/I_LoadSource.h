// SPDX-License-Identifier: Apache-2.0
// ILoadSource: the load summary a session sends with every TASK_DONE and
// KEEP_ALIVE answer ("<GHz used by the agent> <GHz idle> <free MB>", e.g.
// "0.0 2.3 1536"), from the latest measurements. Any thread.
#pragma once

#include <string>

class ILoadSource {
 public:
  virtual ~ILoadSource() = default;
  virtual std::string GetLoadSummary() const = 0;
};
