// SPDX-License-Identifier: Apache-2.0
// TStatus: the outcome of a platform call that can fail. A value: ok, or a
// failure that keeps its reason (the errno, or a text such as the loader's)
// and what was being done, so that a log line can say why. Text() reads
// "cannot write /x/y: No space left on device". Copyable; any thread.
#pragma once

#include <string>

class [[nodiscard]] TStatus {
 public:
  // Ok.
  TStatus() = default;

  // The failure `code` (an errno value) while doing `context`
  // ("cannot write /x/y"); the reason is the system's text for the code.
  static TStatus FromErrno(int code, std::string context);
  // The failure described by `reason` (a text) while doing `context`, which
  // may be empty; `code` is its errno value when it has one.
  static TStatus Failure(std::string context, std::string reason, int code = 0);

  bool Ok() const { return !Failed; }
  explicit operator bool() const { return Ok(); }

  // The errno value; 0 when ok or when the reason is no errno.
  int Code() const { return ErrorCode; }
  // What was being done ("cannot write /x/y"); may be empty.
  const std::string& Context() const { return What; }
  // Why it failed ("No space left on device"); empty when ok.
  const std::string& Reason() const { return Why; }
  // "<context>: <reason>", or the reason alone without a context; empty when
  // ok.
  std::string Text() const;

  // The same failure, said to have happened while doing `context`; ok stays
  // ok.
  TStatus Within(std::string context) const;

 private:
  bool Failed = false;
  int ErrorCode = 0;
  std::string What;
  std::string Why;
};
