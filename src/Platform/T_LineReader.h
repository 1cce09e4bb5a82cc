// SPDX-License-Identifier: Apache-2.0
// TLineReader: the lines of a descriptor (standard input, a pipe, a file),
// read in blocks as they are asked for, so that only the block at hand is
// held, never the whole input. A wait for more is bounded and ends early
// when a wake descriptor (TShutdownSignals::WakeDescriptor) turns readable.
// The descriptor is borrowed and stays open.
//
// Threads: one owner.
#pragma once

#include <string>

#include "Platform/T_Status.h"

class TLineReader {
 public:
  enum class TNext {
    Line,     // `line` holds the next line
    Waiting,  // nothing came within the bound, or the wake descriptor is readable
    End,      // the input has ended (or failed: see Failure)
  };

  explicit TLineReader(int fd) : Fd(fd) {}
  TLineReader(const TLineReader&) = delete;
  TLineReader& operator=(const TLineReader&) = delete;

  // The next line without its line feed (the last line may lack one). Waits
  // at most `timeoutMs` (negative: no limit) for more input; `wakeFd` (-1:
  // none) ends the wait too.
  TNext Next(std::string& line, int timeoutMs, int wakeFd);

  // Why reading failed once Next answered End for a failure; ok otherwise.
  const TStatus& Failure() const { return Failed; }

 private:
  const int Fd;
  std::string Buffer;
  size_t Start = 0;  // where the next line begins in Buffer
  bool Ended = false;
  TStatus Failed;
};
