// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_Suspension.h"

int TSuspension::Update(uint32_t idlePercent, uint32_t agentPercent, uint32_t now) {
  if (idlePercent + agentPercent < 10 && ++LowLoadPasses >= 10) {
    Deadline = now + static_cast<uint32_t>(TimeoutSeconds) * 1000u;
    LowLoadPasses = 0;
  }
  if (TimeoutSeconds == 0) return 0;
  // A signed difference keeps the countdown right across the tick's wrap.
  auto left = static_cast<int32_t>(Deadline - now);
  return left >= 0 ? left / 1000 : 0;
}
