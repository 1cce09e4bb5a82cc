#include "Platform/T_Status.h"

#include <utility>

#include "Platform/PosixCalls.h"

TStatus TStatus::FromErrno(int code, std::string context) {
  TStatus status = Failure(std::move(context), ErrnoText(code));
  status.ErrorCode = code;
  return status;
}

TStatus TStatus::Failure(std::string context, std::string reason) {
  TStatus status;
  status.Failed = true;
  status.What = std::move(context);
  status.Why = std::move(reason);
  return status;
}

std::string TStatus::Text() const {
  if (What.empty()) return Why;
  return What + ": " + Why;
}
