#include "Submit/T_ResultSink.h"

#include <cerrno>
#include <system_error>

#include "Platform/T_Platform.h"

TResultSink::TResultSink(std::vector<std::string> names, std::vector<std::string> outputPaths, std::FILE* stream)
    : Names(std::move(names)), OutputPaths(std::move(outputPaths)), Stream(stream) {
  TMutexLock lock(Mutex);
  Answered.assign(Names.size(), false);
}

void TResultSink::Take(const kelvra::TTaskResult& result) {
  TMutexLock lock(Mutex);
  if (result.Index >= Answered.size() || Answered[result.Index]) return;
  if (!result.Ok) {
    FailLocked(result.Index, result.Failure);
    return;
  }
  Answered[result.Index] = true;
  if (!OutputPaths.empty()) {
    TStatus written = TPlatform::Linux().Files->WriteFile(OutputPaths[result.Index], result.Output);
    if (!written) {
      ++FailedCount;
      FailureLines.push_back("input " + Names[result.Index] + ": " + written.Text());
      return;
    }
    ++DoneCount;
    return;
  }
  ++DoneCount;
  Waiting[result.Index] = result.Output;
  FlushInOrderLocked();
}

void TResultSink::FailUnanswered(const std::string& text) {
  TMutexLock lock(Mutex);
  for (uint64_t index = 0; index < Answered.size(); ++index)
    if (!Answered[index]) FailLocked(index, text);
}

void TResultSink::FailLocked(uint64_t index, const std::string& text) {
  Answered[index] = true;
  ++FailedCount;
  FailureLines.push_back("input " + Names[index] + ": " + text);
  if (OutputPaths.empty()) FlushInOrderLocked();
}

void TResultSink::FlushInOrderLocked() {
  bool wrote = false;
  while (NextInOrder < Answered.size() && Answered[NextInOrder]) {
    auto output = Waiting.find(NextInOrder);
    if (output != Waiting.end()) {
      const std::string& text = output->second;
      bool written = std::fwrite(text.data(), 1, text.size(), Stream) == text.size();
      if (written && (text.empty() || text.back() != '\n')) written = std::fputc('\n', Stream) != EOF;
      if (!written && StreamFailure.empty())
        StreamFailure = "standard output cannot be written: " + std::generic_category().message(errno);
      Waiting.erase(output);
      wrote = true;
    }
    ++NextInOrder;
  }
  if (wrote && std::fflush(Stream) != 0 && StreamFailure.empty())
    StreamFailure = "standard output cannot be written: " + std::generic_category().message(errno);
}

std::string TResultSink::StreamError() {
  TMutexLock lock(Mutex);
  return StreamFailure;
}

std::vector<std::string> TResultSink::TakeFailureLines() {
  TMutexLock lock(Mutex);
  std::vector<std::string> lines;
  lines.swap(FailureLines);
  return lines;
}

uint64_t TResultSink::Done() {
  TMutexLock lock(Mutex);
  return DoneCount;
}

uint64_t TResultSink::Failed() {
  TMutexLock lock(Mutex);
  return FailedCount;
}
