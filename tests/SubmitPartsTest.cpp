// SPDX-License-Identifier: Apache-2.0
// kelvra-submit's parts without agents: the journal (what it keeps of a
// run, what it refuses), the result sink (order, hold-back, a journal line
// only after its result is written) and the inputs in order.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>

#include "Submit/T_InputSource.h"
#include "Submit/T_Journal.h"
#include "Submit/T_ProgressLine.h"
#include "Submit/T_ResultSink.h"
#include "TestSupport.h"

namespace {

using TState = TJournal::TState;

TRunIdentity Identity() { return {"Echo", "aaaa", "bbbb", "cccc", "file"}; }

// The lines of the journal at `path` that record inputs.
std::vector<std::string> RecordLines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream text(ReadTextFile(path));
  for (std::string line; std::getline(text, line);)
    if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0]))) lines.push_back(line);
  return lines;
}

// A new journal at `path` of a run with Identity() with `records`.
void WriteJournal(const std::string& path, const std::vector<TJournal::TRecord>& records) {
  TJournal journal;
  ASSERT_EQ(journal.Open(path, Identity(), false), "");
  for (const TJournal::TRecord& record : records) ASSERT_OK(journal.Append(record));
}

TEST(Journal, KeepsWhatEachInputWasAndChecksEveryStretchAtItsEnd) {
  // Notes in a shuffled order, inputs noted again in another state (a failed
  // input retried), against a plain map of what was noted last.
  TJournal journal;
  std::map<uint64_t, std::pair<TState, std::string>> model;
  std::mt19937 random(26);
  for (int i = 0; i < 3000; ++i) {
    const uint64_t ordinal = 1 + random() % 300;
    const TState state = random() % 5 == 0 ? TState::Failed : TState::Done;
    const std::string chain = "chain" + std::to_string(ordinal);
    ASSERT_TRUE(journal.Note(ordinal, state, chain));
    model[ordinal] = {state, chain};
  }
  uint64_t done = 0, failed = 0;
  for (uint64_t ordinal = 1; ordinal <= 301; ++ordinal) {
    SCOPED_TRACE(ordinal);
    auto found = model.find(ordinal);
    EXPECT_EQ(journal.StateOf(ordinal), found == model.end() ? TState::None : found->second.first);
    if (found == model.end()) continue;
    ++(found->second.first == TState::Done ? done : failed);
    EXPECT_TRUE(journal.Agrees(ordinal, found->second.second));
    // The last input before one not recorded is checked: an input sent
    // next is sent only once all recorded before it matched.
    if (!model.count(ordinal + 1)) {
      EXPECT_FALSE(journal.Agrees(ordinal, "other"));
    }
  }
  EXPECT_EQ(journal.DoneBefore(), done);
  EXPECT_EQ(journal.FailedBefore(), failed);
  EXPECT_EQ(journal.LastOrdinal(), model.rbegin()->first);
  // Another chain for an input checked before: the lines mix runs.
  EXPECT_FALSE(journal.Note(model.rbegin()->first, model.rbegin()->second.first, "other"));
}

TEST(Journal, AResumedRunReadsTheRecordsAndCutsOffALineLeftHalfWritten) {
  TTempDir dir;
  const std::string path = dir / "run.journal";
  WriteJournal(path, {{1, true, "127.0.0.1:4102", "c1", true, 10, "line-1"},
                      {2, false, "", "c2", true, 10, "line-2"},
                      {3, true, "127.0.0.1:4103", "c3", true, 25, "a name with blanks"}});
  // What a kill in the middle of a line leaves.
  WriteTextFile(path, ReadTextFile(path) + "4 done 2026-12-08T10:");
  TJournal resumed;
  ASSERT_EQ(resumed.Open(path, Identity(), true), "");
  EXPECT_EQ(resumed.StateOf(1), TState::Done);
  EXPECT_EQ(resumed.StateOf(2), TState::Failed);
  EXPECT_EQ(resumed.StateOf(3), TState::Done);
  EXPECT_EQ(resumed.StateOf(4), TState::None);
  EXPECT_EQ(resumed.OutputEnd(), 25u);
  EXPECT_FALSE(resumed.Agrees(3, "c9"));
  ASSERT_OK(resumed.Append({4, true, "127.0.0.1:4102", "c4", true, 31, "line-4"}));
  const std::vector<std::string> records = RecordLines(path);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[2].substr(records[2].size() - 19), " a name with blanks");
  EXPECT_EQ(records[3].rfind("4 done ", 0), 0u) << records[3];
  EXPECT_NE(records[3].find(" 127.0.0.1:4102 c4 31 line-4"), std::string::npos) << records[3];
  EXPECT_EQ(records[1].find(" - c2 10 line-2"), records[1].size() - 15) << records[1];
  const std::string text = ReadTextFile(path);
  EXPECT_EQ(text.rfind("kelvra-submit journal 1 procedure=Echo ", 0), 0u) << text;
  EXPECT_EQ(text.find("4 done 2026-12-08T10:\n"), std::string::npos) << "the half line is gone";
}

TEST(Journal, RefusesAJournalOfAnotherRunSayingWhatDiffers) {
  TTempDir dir;
  const std::string path = dir / "run.journal";
  WriteJournal(path, {{1, true, "a", "c1", true, 3, "line-1"}});
  const auto refusal = [&](const TRunIdentity& run, bool resume = true) {
    TJournal journal;
    return journal.Open(path, run, resume);
  };
  const struct {
    TRunIdentity Run;
    std::string Says;
  } cases[] = {
      {{"Other", "aaaa", "bbbb", "cccc", "file"}, "it ran the procedure Echo, not Other"},
      {{"Echo", "dddd", "bbbb", "cccc", "file"}, "the library or its companions differ"},
      {{"Echo", "aaaa", "dddd", "cccc", "file"}, "its data blocks differ"},
      {{"Echo", "aaaa", "bbbb", "dddd", "file"}, "its INPUT arguments differ"},
      {{"Echo", "aaaa", "bbbb", "cccc", "folder"}, "its results went to an --output-file"},
  };
  for (const auto& each : cases) {
    const std::string text = refusal(each.Run);
    EXPECT_NE(text.find("journal " + path + " belongs to another run: " + each.Says), std::string::npos) << text;
  }
  EXPECT_NE(refusal(Identity(), false).find("already records a run: add --resume"), std::string::npos);
  EXPECT_EQ(refusal(Identity()), "");
  TJournal missing;
  EXPECT_NE(missing.Open(dir / "none", Identity(), true).find("does not exist"), std::string::npos);
  WriteTextFile(dir / "other", "something else\n");
  TJournal other;
  EXPECT_NE(other.Open(dir / "other", Identity(), true).find("is not a kelvra-submit journal"), std::string::npos);
  WriteTextFile(dir / "broken", ReadTextFile(path) + "7 maybe\n8 done x - c8 - line-8\n");
  TJournal broken;
  EXPECT_NE(broken.Open(dir / "broken", Identity(), true).find("line 4 is not understood: 7 maybe"), std::string::npos);
  // A journal without a line of an input is begun anew by a new run.
  WriteTextFile(dir / "empty", "kelvra-submit journal 1 procedure=Echo\nstart 2026-12-08T10:00:00Z\n");
  TJournal anew;
  EXPECT_EQ(anew.Open(dir / "empty", Identity(), false), "");
}

TEST(Journal, AChainDependsOnEveryInputBeforeAndOnNamesAndLines) {
  const std::string first = TJournal::Chain("", "line-1", "a");
  EXPECT_EQ(first, TJournal::Chain("", "line-1", "a"));
  EXPECT_NE(first, TJournal::Chain("", "line-1", "b"));
  EXPECT_NE(first, TJournal::Chain("", "line-2", "a"));
  EXPECT_NE(TJournal::Chain(first, "line-2", "x"), TJournal::Chain(TJournal::Chain("", "line-1", "z"), "line-2", "x"));
  EXPECT_NE(TJournal::Hash({{"lib.so", "x"}}), TJournal::Hash({{"lib.so", "y"}}));
  EXPECT_NE(TJournal::Hash({{"lib.so", "x"}}), TJournal::Hash({{"other.so", "x"}}));
}

kelvra::TTaskResult Done(uint64_t index, std::string output, std::string agent = "127.0.0.1:4102") {
  kelvra::TTaskResult result;
  result.Index = index;
  result.Ok = true;
  result.Output = std::move(output);
  result.Agent = std::move(agent);
  return result;
}

kelvra::TTaskResult Failed(uint64_t index, std::string failure, std::string agent = "127.0.0.1:4102") {
  kelvra::TTaskResult result;
  result.Index = index;
  result.Failure = std::move(failure);
  result.Agent = std::move(agent);
  return result;
}

TResultSink::TExpected Line(uint64_t index) {
  return {index + 1, "line-" + std::to_string(index + 1), "line-" + std::to_string(index + 1),
          "c" + std::to_string(index + 1)};
}

struct ResultSinkTest : ::testing::Test {
  TTempDir Dir;
  TJournal Journal;
  std::FILE* Out = nullptr;  // the stream of results, Dir/out
  ResultSinkTest() {
    EXPECT_EQ(Journal.Open(Dir / "journal", Identity(), false), "");
    Out = std::fopen((Dir / "out").c_str(), "w");
    EXPECT_NE(Out, nullptr);
  }
  ~ResultSinkTest() override { std::fclose(Out); }
};

TEST_F(ResultSinkTest, AStreamHoldsBackWhatComesEarlyAndRecordsEachAfterItIsWritten) {
  {
    TResultSink sink({Out, "output file out", 4, "", &Journal, false});
    for (uint64_t i = 0; i < 3; ++i) sink.Expect(i, Line(i));
    sink.Take(Done(2, "c"));
    sink.Take(Done(1, "b\n", "127.0.0.1:4103"));
    EXPECT_EQ(ReadTextFile(Dir / "out"), "");
    EXPECT_TRUE(RecordLines(Dir / "journal").empty()) << "nothing recorded before it is written";
    EXPECT_EQ(sink.Pending(), 3u);
    EXPECT_FALSE(sink.WaitForRoom(3, 0));
    sink.Take(Done(0, "a"));
    sink.Take(Done(0, "again"));  // a second report of an input is dropped
    EXPECT_EQ(ReadTextFile(Dir / "out"), "a\nb\nc\n");
    EXPECT_TRUE(sink.WaitForRoom(1, 0));
    EXPECT_EQ(sink.Done(), 3u);
    const std::vector<TResultSink::TAgentTally> tallies = sink.PerAgent();
    ASSERT_EQ(tallies.size(), 2u);
    EXPECT_EQ(tallies[0].Agent + " " + std::to_string(tallies[0].Done), "127.0.0.1:4102 2");
    EXPECT_EQ(tallies[1].Agent + " " + std::to_string(tallies[1].Done), "127.0.0.1:4103 1");
    EXPECT_EQ(sink.WriteError(), "");
  }
  // Each line has the end of the stream after its result, counted on from
  // the 4 bytes before this run.
  const std::vector<std::string> records = RecordLines(Dir / "journal");
  ASSERT_EQ(records.size(), 3u);
  EXPECT_NE(records[0].find(" c1 6 line-1"), std::string::npos) << records[0];
  EXPECT_NE(records[1].find(" 127.0.0.1:4103 c2 8 line-2"), std::string::npos) << records[1];
  EXPECT_NE(records[2].find(" c3 10 line-3"), std::string::npos) << records[2];
}

TEST_F(ResultSinkTest, OnlyFailuresOfTheInputItselfAreRecorded) {
  TResultSink sink({Out, "output file out", 0, "", &Journal, false});
  for (uint64_t i = 0; i < 4; ++i) sink.Expect(i, Line(i));
  sink.Take(Failed(0, "POOLTHREAD: exception"));
  sink.Take(Failed(1, "no agent left: agent 127.0.0.1:4102 is lost: gone", ""));
  sink.Take(Done(3, "d"));
  sink.FailUnanswered("no result");
  EXPECT_EQ(ReadTextFile(Dir / "out"), "d\n");
  EXPECT_EQ(sink.Failed(), 3u);
  EXPECT_EQ(sink.TakeFailureLines(), (std::vector<std::string>{
                                         "input line-1: POOLTHREAD: exception",
                                         "input line-2: no agent left: agent 127.0.0.1:4102 is lost: gone",
                                         "input line-3: no result"}));
  const std::vector<std::string> records = RecordLines(Dir / "journal");
  ASSERT_EQ(records.size(), 2u) << "a resumed run sends the others again";
  EXPECT_EQ(records[0].rfind("1 failed ", 0), 0u) << records[0];
  EXPECT_EQ(records[1].rfind("4 done ", 0), 0u) << records[1];
}

TEST_F(ResultSinkTest, AFolderGetsEachResultInPlaceAndAResumedFailureLeavesNoStaleOne) {
  WriteTextFile(Dir / "line-2", "from an earlier run");
  TResultSink sink({nullptr, "", 0, Dir.Get(), &Journal, true});
  for (uint64_t i = 0; i < 3; ++i) sink.Expect(i, Line(i));
  sink.Take(Done(2, "third"));
  EXPECT_EQ(ReadTextFile(Dir / "line-3"), "third");
  EXPECT_EQ(sink.Pending(), 2u) << "written out of order, nothing held back";
  sink.Take(Failed(1, "TaskProc returned false"));
  EXPECT_FALSE(std::filesystem::exists(Dir / "line-2"));
  sink.Take(Done(0, "first"));
  EXPECT_EQ(ReadTextFile(Dir / "line-1"), "first");
  EXPECT_EQ(sink.Pending(), 0u);
  const std::vector<std::string> records = RecordLines(Dir / "journal");
  ASSERT_EQ(records.size(), 3u);
  EXPECT_NE(records[0].find(" c3 - line-3"), std::string::npos) << records[0];
  EXPECT_EQ(records[1].rfind("2 failed ", 0), 0u) << records[1];
}

TEST_F(ResultSinkTest, AStreamThatCannotBeWrittenStopsTheRecords) {
  std::FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  TResultSink sink({full, "standard output", 0, "", &Journal, false});
  sink.Expect(0, Line(0));
  sink.Expect(1, Line(1));
  sink.Take(Done(0, "lost"));
  sink.Take(Failed(1, "failed too"));
  EXPECT_EQ(sink.WriteError(), "standard output cannot be written: No space left on device");
  EXPECT_TRUE(RecordLines(Dir / "journal").empty());
  std::fclose(full);
}

TEST(InputSource, FilesAndLinesComeInTheOrderGivenNumberedOverAll) {
  TTempDir dir;
  WriteTextFile(dir / "a.txt", "file a");
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ASSERT_EQ(::write(ends[1], "x\ny", 3), 3);
  TLineReader lines(ends[0]);
  TInputSource source({dir / "a.txt", "-", dir / "missing"}, lines);
  TInput input;
  ASSERT_EQ(source.Next(input, 1000, -1), TInputSource::TNext::Input);
  EXPECT_EQ(input.Ordinal, 1u);
  EXPECT_EQ(input.Name, dir / "a.txt");
  EXPECT_EQ(input.OutputName, "a.txt");
  EXPECT_TRUE(input.FromFile);
  EXPECT_EQ(TInputSource::ReadContent(input), "");
  EXPECT_EQ(input.Content, "file a");
  ASSERT_EQ(source.Next(input, 1000, -1), TInputSource::TNext::Input);
  EXPECT_EQ(input.Ordinal, 2u);
  EXPECT_EQ(input.Name, "line-1");
  EXPECT_EQ(input.Content, "x");
  EXPECT_FALSE(input.FromFile);
  EXPECT_EQ(source.Next(input, 20, -1), TInputSource::TNext::Waiting) << "\"y\" may go on";
  EXPECT_FALSE(source.TotalKnown());
  ::close(ends[1]);
  ASSERT_EQ(source.Next(input, 1000, -1), TInputSource::TNext::Input);
  EXPECT_EQ(input.Name + "=" + input.Content, "line-2=y");
  ASSERT_EQ(source.Next(input, 1000, -1), TInputSource::TNext::Input);
  EXPECT_EQ(input.Ordinal, 4u);
  EXPECT_EQ(TInputSource::ReadContent(input), "No such file or directory");
  EXPECT_EQ(source.Next(input, 1000, -1), TInputSource::TNext::End);
  EXPECT_TRUE(source.TotalKnown());
  EXPECT_EQ(source.Total(), 4u);
  EXPECT_EQ(source.Failure(), "");
  ::close(ends[0]);
}

TEST(ProgressLine, WithoutTheNumberOfInputsNoBarAndNoTimeLeft) {
  EXPECT_EQ(TProgressLine::Format(117, 3, 1000, true, 2.0),
            "[##----------------------] 120/1000  done 117  failed 3  60.0 tasks/s  15 s left");
  EXPECT_EQ(TProgressLine::Format(117, 3, 1000, false, 2.0), "120/1000+  done 117  failed 3  60.0 tasks/s");
  EXPECT_EQ(TProgressLine::AgentLine("10.0.0.5:4102", 52210, 19), "  10.0.0.5:4102: 52210 done, 19 failed");
  EXPECT_EQ(TProgressLine::AgentLine("", 0, 2), "  without an agent: 0 done, 2 failed");
}

}  // namespace
