// TResultSink: where kelvra-submit's results go. Outputs are written to one
// file each (when output paths are given) or to a stream in input order,
// each ending with a line feed; failures are kept as "input NAME: <text>"
// lines for the main thread to print. A second result for the same input is
// ignored, so no output is ever written twice.
//
// Threads: Take runs on the grid's thread; the other members on any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "Platform/T_Mutex.h"
#include "kelvra/kelvra_client.h"

class TResultSink {
 public:
  // `names` names each input (index = task index); `outputPaths` is empty
  // for `stream`, else holds one file per input.
  TResultSink(std::vector<std::string> names, std::vector<std::string> outputPaths, std::FILE* stream);

  void Take(const kelvra::TTaskResult& result) EXCLUDES(Mutex);
  // Fails every input without a result yet, with `text`.
  void FailUnanswered(const std::string& text) EXCLUDES(Mutex);

  // The failure lines not taken yet.
  std::vector<std::string> TakeFailureLines() EXCLUDES(Mutex);
  // Why the stream could not be written, empty while it could.
  std::string StreamError() EXCLUDES(Mutex);
  uint64_t Done() EXCLUDES(Mutex);
  uint64_t Failed() EXCLUDES(Mutex);

 private:
  void FailLocked(uint64_t index, const std::string& text) REQUIRES(Mutex);
  // Writes the outputs of the stream that are next in input order.
  void FlushInOrderLocked() REQUIRES(Mutex);

  const std::vector<std::string> Names;
  const std::vector<std::string> OutputPaths;
  std::FILE* const Stream;  // borrowed

  TMutex Mutex;
  std::vector<bool> Answered GUARDED_BY(Mutex);
  std::map<uint64_t, std::string> Waiting GUARDED_BY(Mutex);  // outputs not yet in order, by index
  uint64_t NextInOrder GUARDED_BY(Mutex) = 0;
  std::vector<std::string> FailureLines GUARDED_BY(Mutex);
  std::string StreamFailure GUARDED_BY(Mutex);
  uint64_t DoneCount GUARDED_BY(Mutex) = 0;
  uint64_t FailedCount GUARDED_BY(Mutex) = 0;
};
