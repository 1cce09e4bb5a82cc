// SPDX-License-Identifier: Apache-2.0
// For the tests that read what the agent sent: a command argument decoded,
// or the reason it is malformed.
#pragma once

#include <string>
#include <string_view>

#include "Common/CommandText.h"

inline std::string Decoded(std::string_view text) {
  std::string decoded;
  const TStatus status = DecodeArgument(text, decoded);
  return status.Ok() ? decoded : "<malformed: " + status.Text() + ">";
}
