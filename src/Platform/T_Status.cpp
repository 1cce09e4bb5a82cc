// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_Status.h"

#include <utility>

#include "Platform/PosixCalls.h"

TStatus TStatus::FromErrno(int code, std::string context) {
  return Failure(std::move(context), ErrnoText(code), code);
}

TStatus TStatus::Failure(std::string context, std::string reason, int code) {
  TStatus status;
  status.Failed = true;
  status.ErrorCode = code;
  status.What = std::move(context);
  status.Why = std::move(reason);
  return status;
}

TStatus TStatus::Within(std::string context) const {
  TStatus status = *this;
  if (Failed) status.What = std::move(context);
  return status;
}

std::string TStatus::Text() const {
  if (What.empty()) return Why;
  return What + ": " + Why;
}
