/* SPDX-License-Identifier: Apache-2.0
 * A library that links its companion tasklib_inner and calls into it, with
 * a task procedure of its own and no EndSession. */
#include "I_Agent.h"

uint32_t InnerTask(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out);

uint32_t OuterTask(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  return InnerTask(agent, session, in, out);
}
