// SPDX-License-Identifier: Apache-2.0
// TInputSource: kelvra-submit's inputs in order, one at a time, as the run
// asks for them: the INPUT arguments in turn, each file one input (its
// content read only when asked for) and "-" one input per line of standard
// input. Nothing is read ahead beyond the line reader's block, so a run of
// millions of lines holds only those it has in flight.
//
// Threads: one owner.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Platform/T_LineReader.h"

struct TInput {
  uint64_t Ordinal = 0;    // 1, 2, ... over all inputs
  std::string Name;        // the file as given, or line-N (N from 1)
  std::string OutputName;  // the file name of its result in --output
  bool FromFile = false;   // Content is read by ReadContent
  std::string Content;
};

class TInputSource {
 public:
  enum class TNext { Input, Waiting, End };

  // `arguments`: the INPUT arguments, "-" for the lines of `standardInput`
  // (borrowed).
  TInputSource(std::vector<std::string> arguments, TLineReader& standardInput);

  // The next input (its content too unless it is a file). Waits at most
  // `timeoutMs` for a line of standard input; `wakeFd` ends that wait too.
  // End once every input has been handed out, or standard input could not
  // be read (Failure()).
  TNext Next(TInput& input, int timeoutMs, int wakeFd);

  // Reads the content of a file input: empty when read, else why not.
  static std::string ReadContent(TInput& input);

  // Inputs handed out so far.
  uint64_t Count() const { return Handed; }
  // Whether the number of inputs in all is known: no standard input among
  // them, or its end reached.
  bool TotalKnown() const;
  // That number, once known.
  uint64_t Total() const;
  // Why standard input could not be read; empty while it could.
  std::string Failure() const;

 private:
  const std::vector<std::string> Arguments;
  TLineReader& StandardInput;  // borrowed
  size_t Argument = 0;         // the argument being handed out
  uint64_t Handed = 0;
  uint64_t Lines = 0;          // lines of standard input handed out
  bool LinesEnded = false;     // standard input has ended
};
