// SPDX-License-Identifier: Apache-2.0
#include "Submit/T_ResultSink.h"

#include <cerrno>
#include <chrono>
#include <system_error>

#include "Platform/T_Platform.h"

namespace {

// A task the grid gave up because no agent was left to run it is not the
// input's failure: no journal line, so that a resumed run sends it again.
bool IsInputsOwnFailure(const kelvra::TTaskResult& result) {
  return result.Failure.rfind("no agent left", 0) != 0;
}

}  // namespace

TResultSink::TResultSink(TWhere where) : Where(std::move(where)) {
  TMutexLock lock(Mutex);
  StreamOffset = Where.StreamOffset;
}

void TResultSink::Expect(uint64_t index, TExpected input) {
  TMutexLock lock(Mutex);
  Entries[index].Input = std::move(input);
}

void TResultSink::FailUnsent(const TExpected& input, const std::string& text) {
  TMutexLock lock(Mutex);
  ++FailedCount;
  TallyLocked("", false);
  FailureLines.push_back("input " + input.Name + ": " + text);
}

void TResultSink::Take(const kelvra::TTaskResult& result) {
  TMutexLock lock(Mutex);
  auto found = Entries.find(result.Index);
  if (found == Entries.end() || found->second.Answered) return;
  if (!result.Ok) {
    FailLocked(found, result.Failure, IsInputsOwnFailure(result), result.Agent);
    return;
  }
  TEntry& entry = found->second;
  TallyLocked(result.Agent, true);
  entry.Answered = entry.Ok = entry.Recorded = true;
  entry.Agent = result.Agent;
  if (Where.Stream != nullptr) {
    ++DoneCount;
    entry.Output = result.Output;
    FlushInOrderLocked();
    return;
  }
  if (WriteFailure.empty()) {
    const std::string path = Where.Folder + "/" + entry.Input.OutputName;
    // In place (written whole, then renamed) before its journal line.
    if (TStatus written = TPlatform::Linux().Files->WriteFile(path, result.Output); !written) {
      ++FailedCount;
      FailureLines.push_back("input " + entry.Input.Name + ": " + written.Text());
    } else {
      ++DoneCount;
      RecordLocked(entry, false);
    }
  }
  Entries.erase(found);
  Shrunk.NotifyAll();
}

void TResultSink::FailUnanswered(const std::string& text) {
  TMutexLock lock(Mutex);
  std::vector<uint64_t> unanswered;
  for (const auto& [index, entry] : Entries)
    if (!entry.Answered) unanswered.push_back(index);
  // Failing one may write and drop those after it (the stream).
  for (uint64_t index : unanswered)
    if (auto found = Entries.find(index); found != Entries.end()) FailLocked(found, text, false, "");
}

void TResultSink::FailLocked(std::map<uint64_t, TEntry>::iterator found, const std::string& text, bool recorded,
                             const std::string& agent) {
  TEntry& entry = found->second;
  entry.Answered = true;
  entry.Recorded = recorded;
  entry.Agent = agent;
  ++FailedCount;
  TallyLocked(agent, false);
  FailureLines.push_back("input " + entry.Input.Name + ": " + text);
  if (Where.Stream != nullptr) {
    FlushInOrderLocked();
    return;
  }
  if (Where.RemoveStale && recorded) {
    // An earlier run's result of it must not outlive this failure.
    const std::string path = Where.Folder + "/" + entry.Input.OutputName;
    if (TPlatform::Linux().Files->Exists(path)) (void)TPlatform::Linux().Files->RemoveFile(path);
  }
  if (recorded) RecordLocked(entry, false);
  Entries.erase(found);
  Shrunk.NotifyAll();
}

void TResultSink::FlushInOrderLocked() {
  std::vector<TEntry> written;
  while (!Entries.empty() && Entries.begin()->second.Answered) {
    TEntry& entry = Entries.begin()->second;
    if (entry.Ok && WriteFailure.empty()) {
      const std::string& text = entry.Output;
      const bool feed = text.empty() || text.back() != '\n';
      bool ok = std::fwrite(text.data(), 1, text.size(), Where.Stream) == text.size();
      if (ok && feed) ok = std::fputc('\n', Where.Stream) != EOF;
      if (!ok) WriteFailure = Where.StreamName + " cannot be written: " + std::generic_category().message(errno);
      StreamOffset += text.size() + (feed ? 1 : 0);
    }
    entry.Output.clear();
    entry.End = StreamOffset;
    written.push_back(std::move(entry));
    Entries.erase(Entries.begin());
  }
  if (written.empty()) return;
  Shrunk.NotifyAll();
  if (WriteFailure.empty() && std::fflush(Where.Stream) != 0)
    WriteFailure = Where.StreamName + " cannot be written: " + std::generic_category().message(errno);
  // Only what reached the stream is recorded, and only after it did.
  for (const TEntry& entry : written)
    if (entry.Recorded) RecordLocked(entry, true);
}

void TResultSink::RecordLocked(const TEntry& entry, bool hasEnd) {
  if (Where.Journal == nullptr || !WriteFailure.empty()) return;
  TJournal::TRecord record;
  record.Ordinal = entry.Input.Ordinal;
  record.Done = entry.Ok;
  record.Agent = entry.Agent;
  record.Chain = entry.Input.Chain;
  record.HasEnd = hasEnd;
  record.End = entry.End;
  record.Name = entry.Input.Name;
  if (TStatus appended = Where.Journal->Append(record); !appended) WriteFailure = appended.Text();
}

void TResultSink::TallyLocked(const std::string& agent, bool ok) {
  TAgentTally& tally = Tallies[agent];
  tally.Agent = agent;
  ++(ok ? tally.Done : tally.Failed);
}

size_t TResultSink::Pending() {
  TMutexLock lock(Mutex);
  return Entries.size();
}

bool TResultSink::WaitForRoom(size_t most, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  TMutexLock lock(Mutex);
  while (Entries.size() >= most)
    if (!Shrunk.WaitUntil(Mutex, deadline)) return Entries.size() < most;
  return true;
}

std::string TResultSink::WriteError() {
  TMutexLock lock(Mutex);
  return WriteFailure;
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

std::vector<TResultSink::TAgentTally> TResultSink::PerAgent() {
  TMutexLock lock(Mutex);
  std::vector<TAgentTally> tallies;
  for (const auto& [agent, tally] : Tallies) tallies.push_back(tally);
  return tallies;
}
