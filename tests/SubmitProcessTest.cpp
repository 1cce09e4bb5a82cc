// SPDX-License-Identifier: Apache-2.0
// kelvra-submit from outside: the real tool against real agents (or the
// private agent it starts itself), its results, its texts and exit status.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "FakePeers.h"
#include "MinisignSupport.h"
#include "Platform/T_ChildProcess.h"
#include "TestSupport.h"
#include "T_AgentProcess.h"

namespace {

using namespace std::chrono_literals;

constexpr int kRunBoundMs = 180000;

// An agent of the test's own: private folders, a free lobby port, reports
// going to the user's `dataPort`, never broadcasting; `agentExtra`: settings
// of its [agent] section besides these.
class TTestAgent {
 public:
  explicit TTestAgent(uint16_t dataPort, const std::string& agentExtra = "") : LobbyPort(fake::FreePort()) {
    WriteTextFile(Dir / "kelvra.INI",
                  "[agent]\n" + agentExtra + TestIsolation() + "bind_ip=127.0.0.1\nbind_port=" + std::to_string(LobbyPort) +
                      "\nenableDebugOutput=1\nexplicitCPU=0\nsuspend_timeout=0\nbroadcast_port=0\n"
                      "[coordinator]\ncoordinator_ip=127.0.0.1\nallowDiscardCoordinatorIp=0\nbind_port=" +
                      std::to_string(fake::FreePort()) + "\n[user]\ndata_port=" + std::to_string(dataPort) + "\n");
    Process = std::make_unique<TAgentProcess>(Dir, std::vector<std::string>{"--headless", "--config", Dir / "kelvra.INI"});
    Ready = WaitUntil([&] { return fake::Listening("127.0.0.1", LobbyPort); }, 60s);
  }
  std::string Address() const { return "127.0.0.1:" + std::to_string(LobbyPort); }
  // Task reports this agent has sent.
  size_t Reports() const {
    const std::string log = Process->Err();
    size_t count = 0;
    for (size_t at = log.find("TASK_DONE"); at != std::string::npos; at = log.find("TASK_DONE", at + 1)) ++count;
    return count;
  }

  TTempDir Dir;
  uint16_t LobbyPort;
  std::unique_ptr<TAgentProcess> Process;
  bool Ready = false;
};

// One run of kelvra-submit with its standard input from a file.
class TSubmitRun {
 public:
  TSubmitRun(const TTempDir& dir, std::vector<std::string> arguments, const std::string& input = "",
             const std::vector<std::string>& environment = {})
      : Dir(dir) {
    WriteTextFile(Dir / "submit.in", input);
    arguments.insert(arguments.begin(), KELVRA_SUBMIT_PATH);
    Started = Child.Start(arguments, environment, Dir / "submit.out", Dir / "submit.err", Dir / "submit.in").Ok();
  }
  // The exit status (TChildProcess::kRunning when it did not end in time).
  int Wait(int boundMs = kRunBoundMs) { return Started ? Child.WaitExit(boundMs) : -2; }
  std::string Out() const { return ReadTextFile(Dir / "submit.out"); }
  std::string Err() const { return ReadTextFile(Dir / "submit.err"); }

  const TTempDir& Dir;
  TChildProcess Child;
  bool Started = false;
};

// Processes of this user whose command line mentions `text`.
size_t ProcessesMentioning(const std::string& text) {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string line = ReadTextFile(entry.path().string() + "/cmdline");
    std::replace(line.begin(), line.end(), '\0', ' ');
    if (line.find(text) != std::string::npos) ++count;
  }
  return count;
}

std::string Lines(size_t count, const std::string& prefix) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text += prefix + std::to_string(i) + "\n";
  return text;
}

// The lines of the journal at `path` that record an input, whole ones only.
std::vector<std::string> JournalRecords(const std::string& path) {
  std::vector<std::string> records;
  const std::string text = ReadTextFile(path);
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    if (std::isdigit(static_cast<unsigned char>(text[at]))) records.push_back(text.substr(at, end - at));
  return records;
}

// Each input 1..count recorded as done exactly once, and nothing else.
void ExpectEachDoneOnce(const std::string& journal, size_t count) {
  std::map<uint64_t, int> done;
  for (const std::string& record : JournalRecords(journal)) {
    EXPECT_NE(record.find(" done "), std::string::npos) << record;
    ++done[std::stoull(record)];
  }
  EXPECT_EQ(done.size(), count);
  for (const auto& [ordinal, times] : done) EXPECT_EQ(times, 1) << "input " << ordinal;
}

struct SubmitTest : ::testing::Test {
  TTempDir Dir;
  uint16_t DataPort = fake::FreePort();

  // The arguments of a run of `procedure` on `agents`, over the lines of
  // standard input unless other inputs are added.
  std::vector<std::string> On(const std::vector<const TTestAgent*>& agents, const std::string& library,
                              const std::string& procedure, bool standardInput = true) {
    std::vector<std::string> arguments{"--data-port", std::to_string(DataPort), "--library", library, "--procedure",
                                       procedure};
    for (const TTestAgent* agent : agents) {
      arguments.push_back("--agent");
      arguments.push_back(agent->Address());
    }
    if (standardInput) arguments.push_back("-");
    return arguments;
  }
  // The arguments of a --local run of `procedure` over the lines of
  // standard input.
  static std::vector<std::string> Local(const std::string& library, const std::string& procedure) {
    return {"--local", "--agent-binary", KELVRA_AGENT_PATH, "--library", library, "--procedure", procedure, "-"};
  }
};

TEST_F(SubmitTest, ManyInputsOverTwoAgentsGiveEveryResultOnceInInputOrder) {
  TTestAgent first(DataPort), second(DataPort);
  ASSERT_TRUE(first.Ready && second.Ready);
  TSubmitRun run(Dir, On({&first, &second}, KELVRA_TASKLIB_SUBMIT, "SlowEcho"), Lines(400, "task "));
  ASSERT_EQ(run.Wait(), 0) << run.Err();
  EXPECT_EQ(run.Out(), Lines(400, "task "));
  EXPECT_NE(run.Err().find("400 done, 0 failed in "), std::string::npos) << run.Err();
  // Both agents had a share of the work, and the summary says which.
  EXPECT_GT(first.Reports(), 0u);
  EXPECT_GT(second.Reports(), 0u);
  uint64_t shares = 0;
  const std::string err = run.Err();
  for (const TTestAgent* agent : {&first, &second}) {
    std::smatch share;
    ASSERT_TRUE(std::regex_search(err, share, std::regex("\n  " + agent->Address() + ": ([0-9]+) done, 0 failed\n")))
        << err;
    EXPECT_GT(std::stoull(share[1]), 0u);
    shares += std::stoull(share[1]);
  }
  EXPECT_EQ(shares, 400u);
}

TEST_F(SubmitTest, AnAgentKilledMidRunLosesNoResultAndRepeatsNone) {
  TTestAgent first(DataPort), second(DataPort);
  ASSERT_TRUE(first.Ready && second.Ready);
  TSubmitRun run(Dir, On({&first, &second}, KELVRA_TASKLIB_SUBMIT, "SlowEcho"), Lines(600, "input "));
  ASSERT_TRUE(run.Started);
  // Once the first agent has answered some of its tasks, and holds more.
  ASSERT_TRUE(WaitUntil([&] { return first.Reports() >= 20; }, 120s)) << run.Err();
  first.Process->Signal(SIGKILL);
  ASSERT_EQ(run.Wait(), 0) << run.Err();
  EXPECT_EQ(run.Out(), Lines(600, "input "));
  EXPECT_NE(run.Err().find("600 done, 0 failed"), std::string::npos) << run.Err();
}

TEST_F(SubmitTest, AFailingTaskIsListedWithTheAgentsTextAndTheOthersAreWritten) {
  TTestAgent agent(DataPort);
  ASSERT_TRUE(agent.Ready);
  WriteTextFile(Dir / "alpha.txt", "first input");
  WriteTextFile(Dir / "broken.txt", "fail here");
  WriteTextFile(Dir / "gamma.txt", "third input\n");
  std::vector<std::string> arguments = On({&agent}, KELVRA_TASKLIB_SUBMIT, "EchoUnlessFail", false);
  for (const char* name : {"alpha.txt", "broken.txt", "gamma.txt"}) arguments.push_back(Dir / name);
  arguments.insert(arguments.end(), {"--output", Dir / "results"});
  TSubmitRun run(Dir, arguments);
  ASSERT_EQ(run.Wait(), 1) << run.Err();
  EXPECT_NE(run.Err().find("input " + (Dir / "broken.txt") + ": POOLTHREAD: exception \"TaskProc returned false\" in task "), std::string::npos)
      << run.Err();
  EXPECT_NE(run.Err().find("2 done, 1 failed"), std::string::npos) << run.Err();
  EXPECT_EQ(ReadTextFile(Dir / "results/alpha.txt"), "first input");
  EXPECT_EQ(ReadTextFile(Dir / "results/gamma.txt"), "third input\n");
  EXPECT_FALSE(std::filesystem::exists(Dir / "results/broken.txt"));
  EXPECT_EQ(run.Out(), "");
}

// A procedure the library does not have is the agents' failure, not the
// inputs': each agent is left out after a few, and the summary says why.
TEST_F(SubmitTest, ASummaryNamesTheAgentsLeftOutAndWhy) {
  TTestAgent agent(DataPort);
  ASSERT_TRUE(agent.Ready);
  std::vector<std::string> arguments = On({&agent}, KELVRA_TASKLIB_SUBMIT, "NoSuchProcedure", false);
  arguments.push_back("-");
  TSubmitRun run(Dir, arguments, "a\nb\nc\nd\n");
  ASSERT_EQ(run.Wait(), 1) << run.Err();
  EXPECT_NE(run.Err().find("0 done, 4 failed"), std::string::npos) << run.Err();
  EXPECT_NE(run.Err().find("\n  " + agent.Address() + ": 0 done, 0 failed (agent " + agent.Address() +
                           " is left out of the run: 3 tasks in a row failed there: POOLTHREAD:  unable to run task"),
            std::string::npos)
      << run.Err();
}

TEST_F(SubmitTest, ResultsThatCannotBeWrittenStopTheRun) {
  TTestAgent agent(DataPort);
  ASSERT_TRUE(agent.Ready);
  WriteTextFile(Dir / "lines.in", Lines(3000, "line "));
  TChildProcess child;
  std::vector<std::string> arguments = On({&agent}, KELVRA_TASKLIB_SUBMIT, "SlowEcho");
  arguments.insert(arguments.begin(), KELVRA_SUBMIT_PATH);
  ASSERT_TRUE(child.Start(arguments, {}, "/dev/full", Dir / "err", Dir / "lines.in").Ok());
  EXPECT_EQ(child.WaitExit(kRunBoundMs), 1);
  EXPECT_NE(ReadTextFile(Dir / "err").find("kelvra-submit: standard output cannot be written: No space left on device"),
            std::string::npos)
      << ReadTextFile(Dir / "err");
  // It stopped there: the agent did not run every task.
  EXPECT_LT(agent.Reports(), 3000u);
}

TEST_F(SubmitTest, DataBlocksAreServedFromFilesCompressedAndNot) {
  TTestAgent agent(DataPort);
  ASSERT_TRUE(agent.Ready);
  std::string text, binary;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i % 97) + " of a block\n";
  for (size_t i = 0; i < 300000; ++i) binary.push_back(static_cast<char>((i * 7919) >> 3));
  WriteTextFile(Dir / "text.blk", text);
  WriteTextFile(Dir / "binary.blk", binary);
  WriteTextFile(Dir / "ask-text", "text");
  WriteTextFile(Dir / "ask-binary", "binary");
  for (bool compress : {false, true}) {
    SCOPED_TRACE(compress ? "compressed" : "plain");
    TTempDir runDir;
    std::vector<std::string> arguments = On({&agent}, KELVRA_TASKLIB_TASKS, "FetchData", false);
    arguments.insert(arguments.end(), {"--data", "text=" + (Dir / "text.blk"), "--data=binary=" + (Dir / "binary.blk"),
                                       "--output", runDir / "out", Dir / "ask-text", Dir / "ask-binary"});
    if (compress) arguments.push_back("--compress");
    TSubmitRun run(runDir, arguments);
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    EXPECT_TRUE(ReadTextFile(runDir / "out/ask-text") == text);
    EXPECT_TRUE(ReadTextFile(runDir / "out/ask-binary") == binary);
  }
}

// Each library and companion given by path brings its .minisig along; one
// without fails its tasks as any failure is listed, naming the file.
TEST_F(SubmitTest, SignaturesBesideTheLibrariesAreServedToAnAgentWithTrustedKeys) {
  if (!MinisignInstalled()) GTEST_SKIP() << "minisign is not installed";
  ASSERT_TRUE(MakeMinisignKey(Dir.Get(), "grid"));
  TTestAgent agent(DataPort, "trusted_keys=" + (Dir / "grid.pub") + "\n");
  ASSERT_TRUE(agent.Ready);
  std::filesystem::create_directories(Dir / "signed");
  std::filesystem::create_directories(Dir / "half");
  for (const char* folder : {"signed", "half"}) {
    std::filesystem::copy_file(KELVRA_TASKLIB_TASKS, Dir / folder + "/libtasklib_tasks.so");
    std::filesystem::copy_file(KELVRA_TASKLIB_SUBMIT, Dir / folder + "/libtasklib_submit.so");
    ASSERT_TRUE(MinisignSign(Dir / "grid.key", Dir / folder + "/libtasklib_tasks.so"));
  }
  ASSERT_TRUE(MinisignSign(Dir / "grid.key", Dir / "signed/libtasklib_submit.so"));
  const auto libraries = [&](const std::string& folder) {
    return Dir / folder + "/libtasklib_tasks.so," + Dir / folder + "/libtasklib_submit.so";
  };
  {
    TTempDir runDir;
    TSubmitRun run(runDir, On({&agent}, libraries("signed"), "Echo"), "one\ntwo\n");
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    EXPECT_EQ(run.Out(), "one\ntwo\n");
  }
  TTempDir runDir;
  TSubmitRun run(runDir, On({&agent}, libraries("half"), "Echo"), "one\n");
  ASSERT_EQ(run.Wait(), 1) << run.Err();
  EXPECT_NE(run.Err().find("input line-1: library libtasklib_submit.so is not signed by a trusted key: the user "
                           "sent no signature\n"),
            std::string::npos)
      << run.Err();
}

TEST_F(SubmitTest, LocalRunsOnAPrivateAgentAndLeavesNothingBehind) {
  TTempDir temp;
  TSubmitRun run(Dir, Local(KELVRA_TASKLIB_TASKS, "Echo"), "one\ntwo\n\nfour", {"TMPDIR=" + temp.Get()});
  ASSERT_EQ(run.Wait(), 0) << run.Err();
  EXPECT_EQ(run.Out(), "one\ntwo\n\nfour\n");
  EXPECT_NE(run.Err().find("4 done, 0 failed"), std::string::npos) << run.Err();
  EXPECT_TRUE(std::filesystem::is_empty(temp.Get())) << "the private agent's folder is left behind";
}

TEST_F(SubmitTest, ALocalRunWithFailuresKeepsTheAgentsLogAndSaysWhere) {
  TTempDir temp;
  TSubmitRun run(Dir, Local(KELVRA_TASKLIB_TASKS, "ReturnFalse"), "x\n", {"TMPDIR=" + temp.Get()});
  ASSERT_EQ(run.Wait(), 1) << run.Err();
  EXPECT_NE(run.Err().find("input line-1: POOLTHREAD: exception \"TaskProc returned false\" in task "), std::string::npos) << run.Err();
  const std::string marker = "the local agent's log: ";
  const size_t at = run.Err().find(marker);
  ASSERT_NE(at, std::string::npos) << run.Err();
  const std::string log = run.Err().substr(at + marker.size(), run.Err().find('\n', at) - at - marker.size());
  EXPECT_EQ(log.rfind(temp.Get(), 0), 0u) << log;
  EXPECT_NE(ReadTextFile(log).find("TASK_FAILED"), std::string::npos);
}

TEST_F(SubmitTest, ALocalRunStoppedBySignalStopsItsAgentAndRemovesItsFolder) {
  TTempDir temp;
  TSubmitRun run(Dir, Local(KELVRA_TASKLIB_SUBMIT, "SlowEcho"), Lines(5000, "slow "), {"TMPDIR=" + temp.Get()});
  ASSERT_TRUE(run.Started);
  ASSERT_TRUE(WaitUntil([&] { return run.Out().size() > 100; }, 120s)) << run.Err();
  run.Child.Signal(SIGTERM);
  EXPECT_EQ(run.Wait(), 128 + SIGTERM) << run.Err();
  EXPECT_NE(run.Err().find("kelvra-submit: stopped by signal 15"), std::string::npos) << run.Err();
  EXPECT_TRUE(std::filesystem::is_empty(temp.Get())) << "the private agent's folder is left behind";
}

TEST_F(SubmitTest, ALocalAgentEndsWhenItsToolIsKilled) {
  TTempDir temp;
  TSubmitRun run(Dir, Local(KELVRA_TASKLIB_SUBMIT, "SlowEcho"), Lines(5000, "slow "), {"TMPDIR=" + temp.Get()});
  ASSERT_TRUE(run.Started);
  ASSERT_TRUE(WaitUntil([&] { return run.Out().size() > 100; }, 120s)) << run.Err();
  // The agent, and its session process unless sessions run in its own.
  ASSERT_GE(ProcessesMentioning(temp.Get() + "/kelvra-local-"), 1u);
  run.Child.Signal(SIGKILL);
  EXPECT_EQ(run.Wait(), 128 + SIGKILL);
  EXPECT_TRUE(WaitUntil([&] { return ProcessesMentioning(temp.Get() + "/kelvra-local-") == 0; }, 60s))
      << "the private agent outlives kelvra-submit";
}

// The lines of standard input are read as the agents take them: a run of a
// million of them from a pipe holds only those in flight.
TEST_F(SubmitTest, AMillionLinesFromAPipeRunInOrderWithTheToolsMemoryBounded) {
#if KELVRA_SANITIZED_BUILD
  constexpr size_t kLines = 100000;  // the sanitizers' memory is no measure; the order still is
#else
  constexpr size_t kLines = 1000000;
#endif
  TTestAgent first(DataPort, "enableDebugOutput=0\n"), second(DataPort, "enableDebugOutput=0\n");
  ASSERT_TRUE(first.Ready && second.Ready);
  std::vector<std::string> arguments = On({&first, &second}, KELVRA_TASKLIB_TASKS, "Echo");
  // bash turns into kelvra-submit (the same process) reading seq through a pipe.
  arguments.insert(arguments.begin(), {"/bin/bash", "-c", "exec \"$0\" \"$@\" < <(seq 1 " + std::to_string(kLines) + ")",
                                       KELVRA_SUBMIT_PATH});
  TChildProcess child;
  ASSERT_TRUE(child.Start(arguments, {}, Dir / "out", Dir / "err").Ok());
  const std::string pid = std::to_string(child.Id());
  uint64_t peakKib = 0;
  int status = TChildProcess::kRunning;
  const auto deadline = std::chrono::steady_clock::now() + 360s;
  while (status == TChildProcess::kRunning && std::chrono::steady_clock::now() < deadline) {
    peakKib = std::max(peakKib, PeakMemoryKib(pid));
    status = child.WaitExit(50);
  }
  ASSERT_EQ(status, 0) << ReadTextFile(Dir / "err");
  std::string expected;
  expected.reserve(kLines * 8);
  for (size_t i = 1; i <= kLines; ++i) expected += std::to_string(i) + "\n";
  const std::string out = ReadTextFile(Dir / "out");
  EXPECT_EQ(out.size(), expected.size());
  EXPECT_TRUE(out == expected) << "the results in input order";
  EXPECT_NE(ReadTextFile(Dir / "err").find(std::to_string(kLines) + " done, 0 failed"), std::string::npos)
      << ReadTextFile(Dir / "err");
  std::printf("kelvra-submit's peak memory over %zu lines: %llu KiB\n", kLines, static_cast<unsigned long long>(peakKib));
  EXPECT_GT(peakKib, 0u);
#if !KELVRA_SANITIZED_BUILD
  // The lines alone, held as inputs, would take more than this.
  EXPECT_LT(peakKib, 48u * 1024) << "KiB";
#endif
}

// Killed (SIGKILL) three times and resumed each time, a run into a file
// ends with the file an uninterrupted run writes, byte for byte, and a
// journal that has each input done once.
TEST_F(SubmitTest, ARunKilledThreeTimesAndResumedWritesWhatAnUninterruptedRunWrites) {
  TTestAgent first(DataPort), second(DataPort);
  ASSERT_TRUE(first.Ready && second.Ready);
  constexpr size_t kLines = 1500;
  const std::string input = Lines(kLines, "case ");
  const auto arguments = [&](const TTempDir& dir, bool resume) {
    std::vector<std::string> line = On({&first, &second}, KELVRA_TASKLIB_SUBMIT, "SlowEcho");
    line.insert(line.end() - 1, {"--output-file", dir / "sweep.out", "--journal", dir / "sweep.journal"});
    if (resume) line.insert(line.end() - 1, "--resume");
    return line;
  };
  TTempDir whole;
  TSubmitRun uninterrupted(whole, arguments(whole, false), input);
  ASSERT_EQ(uninterrupted.Wait(), 0) << uninterrupted.Err();
  const std::string reference = ReadTextFile(whole / "sweep.out");
  ASSERT_EQ(reference, input);

  const size_t killAt[] = {kLines / 10, kLines / 2, kLines * 9 / 10};
  for (size_t kill = 0; kill < 3; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill + 1));
    TTempDir runDir;
    TSubmitRun run(runDir, arguments(Dir, kill > 0), input);
    ASSERT_TRUE(run.Started);
    ASSERT_TRUE(WaitUntil([&] { return JournalRecords(Dir / "sweep.journal").size() >= killAt[kill]; }, 120s))
        << run.Err();
    run.Child.Signal(SIGKILL);
    ASSERT_EQ(run.Wait(), 128 + SIGKILL);
  }
  const size_t before = JournalRecords(Dir / "sweep.journal").size();
  ASSERT_LT(before, kLines) << "the last kill came too late to leave work";
  TTempDir lastDir;
  TSubmitRun last(lastDir, arguments(Dir, true), input);
  ASSERT_EQ(last.Wait(), 0) << last.Err();
  EXPECT_NE(last.Err().find("resumed from " + (Dir / "sweep.journal") + ": " + std::to_string(before) +
                            " inputs done before, 0 failed before"),
            std::string::npos)
      << last.Err();
  const std::string resumed = ReadTextFile(Dir / "sweep.out");
  EXPECT_EQ(resumed.size(), reference.size());
  EXPECT_TRUE(resumed == reference) << "the resumed file differs from the uninterrupted one";
  ExpectEachDoneOnce(Dir / "sweep.journal", kLines);
}

// The same into a folder: each input's file once, none left half written
// in its place.
TEST_F(SubmitTest, ARunIntoAFolderKilledAndResumedHasEachResultFileOnce) {
  TTestAgent agent(DataPort);
  ASSERT_TRUE(agent.Ready);
  constexpr size_t kLines = 600;
  std::vector<std::string> arguments = On({&agent}, KELVRA_TASKLIB_SUBMIT, "SlowEcho");
  arguments.insert(arguments.end() - 1, {"--output", Dir / "results", "--journal", Dir / "j"});
  {
    TTempDir runDir;
    TSubmitRun run(runDir, arguments, Lines(kLines, "n"));
    ASSERT_TRUE(WaitUntil([&] { return JournalRecords(Dir / "j").size() >= kLines / 3; }, 120s)) << run.Err();
    run.Child.Signal(SIGKILL);
    ASSERT_EQ(run.Wait(), 128 + SIGKILL);
  }
  arguments.insert(arguments.end() - 1, "--resume");
  TTempDir runDir;
  TSubmitRun run(runDir, arguments, Lines(kLines, "n"));
  ASSERT_EQ(run.Wait(), 0) << run.Err();
  for (size_t i = 0; i < kLines; ++i)
    ASSERT_EQ(ReadTextFile(Dir / ("results/line-" + std::to_string(i + 1))), "n" + std::to_string(i));
  ExpectEachDoneOnce(Dir / "j", kLines);
}

TEST_F(SubmitTest, AJournalOfAnotherRunIsRefusedBeforeAnythingIsSentOrWritten) {
  TTestAgent agent(DataPort);
  ASSERT_TRUE(agent.Ready);
  std::filesystem::copy_file(KELVRA_TASKLIB_TASKS, Dir / "libtasks.so");
  WriteTextFile(Dir / "a.txt", "a");
  WriteTextFile(Dir / "b.txt", "b");
  const auto arguments = [&](const std::vector<std::string>& more) {
    std::vector<std::string> line = On({&agent}, Dir / "libtasks.so", "Echo", false);
    line.insert(line.end(), {"--output-file", Dir / "out", "--journal", Dir / "j"});
    line.insert(line.end(), more.begin(), more.end());
    return line;
  };
  {
    TTempDir runDir;
    TSubmitRun run(runDir, arguments({"-"}), Lines(20, "first "));
    ASSERT_EQ(run.Wait(), 0) << run.Err();
  }
  const size_t reports = agent.Reports();
  const std::string journal = ReadTextFile(Dir / "j");
  const auto refused = [&](const std::vector<std::string>& more, const std::string& input, const std::string& says) {
    SCOPED_TRACE(says);
    TTempDir runDir;
    TSubmitRun run(runDir, arguments(more), input);
    EXPECT_EQ(run.Wait(), 2) << run.Err();
    EXPECT_NE(run.Err().find("kelvra-submit: journal " + (Dir / "j") + " " + says), std::string::npos) << run.Err();
    EXPECT_EQ(ReadTextFile(Dir / "out"), Lines(20, "first ")) << "the results stay as they were";
    EXPECT_EQ(ReadTextFile(Dir / "j"), journal);
  };
  refused({"-"}, Lines(20, "first "), "already records a run: add --resume");
  refused({"--resume", "-"}, Lines(20, "other "),
          "belongs to another run: it records input 20 (line-20) or one before it with another name or line");
  refused({"--resume", "-"}, Lines(10, "first "), "belongs to another run: it records input 20, but there are only 10");
  refused({"--resume", Dir / "a.txt", Dir / "b.txt"}, "", "belongs to another run: its INPUT arguments differ");
  refused({"--resume", "--data", "x=" + (Dir / "a.txt"), "-"}, Lines(20, "first "),
          "belongs to another run: its data blocks differ");
  WriteTextFile(Dir / "libtasks.so", ReadTextFile(Dir / "libtasks.so") + "changed");
  refused({"--resume", "-"}, Lines(20, "first "), "belongs to another run: the library or its companions differ");
  EXPECT_EQ(agent.Reports(), reports) << "no task was sent";
}

TEST_F(SubmitTest, AResumedRunRunsFailedInputsAgainOnlyWhenAskedAndSaysSo) {
  TTestAgent agent(DataPort);
  ASSERT_TRUE(agent.Ready);
  std::vector<std::string> arguments = On({&agent}, KELVRA_TASKLIB_SUBMIT, "EchoUnlessFail");
  arguments.insert(arguments.end() - 1, {"--output-file", Dir / "out", "--journal", Dir / "j"});
  const std::string input = "one\nfail two\nthree\n";
  const auto run = [&](const std::vector<std::string>& more, int status) {
    std::vector<std::string> line = arguments;
    line.insert(line.end() - 1, more.begin(), more.end());
    TTempDir runDir;
    TSubmitRun submit(runDir, line, input);
    EXPECT_EQ(submit.Wait(), status) << submit.Err();
    return submit.Err();
  };
  run({}, 1);
  const size_t reports = agent.Reports();
  std::string err = run({"--resume"}, 1);
  EXPECT_NE(err.find("0 done, 0 failed"), std::string::npos) << err;
  EXPECT_NE(err.find("2 inputs done before, 1 failed before (not run again: --retry-failed runs them)"),
            std::string::npos)
      << err;
  EXPECT_EQ(agent.Reports(), reports);
  err = run({"--resume", "--retry-failed"}, 1);
  EXPECT_NE(err.find("0 done, 1 failed"), std::string::npos) << err;
  EXPECT_NE(err.find("input line-2: POOLTHREAD: exception"), std::string::npos) << err;
  EXPECT_EQ(ReadTextFile(Dir / "out"), "one\nthree\n");
}

// In a build tree kelvra-submit lies beside the kelvra-agent built with it.
TEST_F(SubmitTest, LocalFindsTheAgentBuiltBesideIt) {
  ASSERT_EQ(std::filesystem::path(KELVRA_SUBMIT_PATH).parent_path(), std::filesystem::path(KELVRA_AGENT_PATH).parent_path());
  TTempDir temp;
  TSubmitRun run(Dir, {"--local", "--library", KELVRA_TASKLIB_TASKS, "--procedure", "Echo", "-"}, "one\ntwo\n",
                 {"PATH=/usr/bin:/bin", "TMPDIR=" + temp.Get()});
  ASSERT_EQ(run.Wait(), 0) << run.Err();
  EXPECT_EQ(run.Out(), "one\ntwo\n");
}

TEST_F(SubmitTest, UsageErrorsAndAGridThatCannotStartExitWithTwoAndSayWhy) {
  WriteTextFile(Dir / "in", "x");
  WriteTextFile(Dir / "libsigned.so", "x");
  std::filesystem::create_directory(Dir / "libsigned.so.minisig");  // there, but no file to read
  fake::TFakeUser taken;  // a listener on a data port
  const std::string nobody = "127.0.0.1:" + std::to_string(fake::FreePort());
  const std::string lib = KELVRA_TASKLIB_TASKS;
  const struct {
    std::vector<std::string> Arguments;
    std::string Says;
  } cases[] = {
      {{"--library", lib, "--procedure", "Echo", Dir / "in"}, "no agent given"},
      {{"--agent", nobody, "--procedure", "Echo", Dir / "in"}, "no task library given"},
      {{"--agent", nobody, "--library", lib, Dir / "in"}, "no procedure given"},
      {{"--agent", nobody, "--library", lib, "--procedure", "Echo"}, "no input given"},
      {{"--agent", nobody, "--frobnicate", "--library", lib, "--procedure", "Echo", Dir / "in"},
       "unknown option --frobnicate"},
      {{"--agent", "127.0.0.1:99999", "--library", lib, "--procedure", "Echo", Dir / "in"}, "bad --agent"},
      {{"--local", "--agent", nobody, "--library", lib, "--procedure", "Echo", Dir / "in"}, "exclude each other"},
      {{"--agent", nobody, "--library", lib, "--procedure", "Echo", "--data", "noequals", Dir / "in"},
       "expected ID=FILE"},
      {{"--agent", nobody, "--library", Dir / "missing.so", "--procedure", "Echo", Dir / "in"},
       "library file " + (Dir / "missing.so") + " cannot be read"},
      {{"--agent", nobody, "--library", lib + "," + (Dir / "libsigned.so"), "--procedure", "Echo", Dir / "in"},
       "signature " + (Dir / "libsigned.so.minisig") + " cannot be read: Is a directory"},
      {{"--agent", nobody, "--library", lib, "--procedure", "Echo", Dir / "absent"},
       "input " + (Dir / "absent") + " cannot be read"},
      {{"--agent", nobody, "--data-port", std::to_string(taken.Port()), "--library", lib, "--procedure", "Echo",
        Dir / "in"},
       "data port " + std::to_string(taken.Port()) + " is taken"},
      {{"--local", "--agent-binary", Dir / "no-agent", "--library", lib, "--procedure", "Echo", Dir / "in"},
       "the local agent cannot start: cannot start " + (Dir / "no-agent")},
      {{"--agent", nobody, "--data-port", std::to_string(fake::FreePort()), "--library", lib, "--procedure", "Echo",
        Dir / "in"},
       nobody},
      {{"--agent", nobody, "--library", lib, "--procedure", "Echo", "--journal", Dir / "j", Dir / "in"},
       "--journal needs --output DIR or --output-file FILE"},
      {{"--agent", nobody, "--library", lib, "--procedure", "Echo", "--output-file", Dir / "o", "--resume", Dir / "in"},
       "--resume needs --journal FILE"},
      {{"--agent", nobody, "--library", lib, "--procedure", "Echo", "--output-file", Dir / "o", "--journal", Dir / "j",
        "--retry-failed", Dir / "in"},
       "--retry-failed needs --resume"},
      {{"--agent", nobody, "--library", lib, "--procedure", "Echo", "--output-file", Dir / "o", "--output", Dir / "d",
        Dir / "in"},
       "--output and --output-file exclude each other"},
      {{"--agent", nobody, "--library", lib, "--procedure", "Echo", "--max-attempts", "0", Dir / "in"},
       "bad --max-attempts 0"},
      {{"--agent", nobody, "--library", lib, "--procedure", "Echo", "--speculate-after=-1", Dir / "in"},
       "bad --speculate-after -1"},
      {{"--agent", nobody, "--library", lib, "--procedure", "Echo", "--max-pending", "many", Dir / "in"},
       "bad --max-pending many"},
      {{"--agent", nobody, "--library", lib, "--procedure", "Echo", "--output-file", Dir / "o", "--journal",
        Dir / "absent.journal", "--resume", Dir / "in"},
       "journal " + (Dir / "absent.journal") + " does not exist"},
  };
  for (const auto& each : cases) {
    SCOPED_TRACE(each.Says);
    TTempDir runDir;
    TSubmitRun run(runDir, each.Arguments);
    EXPECT_EQ(run.Wait(), 2);
    EXPECT_NE(run.Err().find("kelvra-submit: "), std::string::npos) << run.Err();
    EXPECT_NE(run.Err().find(each.Says), std::string::npos) << run.Err();
    EXPECT_EQ(run.Out(), "");
  }
}

TEST_F(SubmitTest, OnATerminalAProgressLineIsRedrawnAndOtherwiseNot) {
  TTestAgent agent(DataPort);
  ASSERT_TRUE(agent.Ready);
  const std::vector<std::string> arguments = On({&agent}, KELVRA_TASKLIB_SUBMIT, "SlowEcho");
  {
    TTempDir plainDir;
    TSubmitRun plain(plainDir, arguments, Lines(20, "x"));
    ASSERT_EQ(plain.Wait(), 0) << plain.Err();
    EXPECT_EQ(plain.Err().find('\r'), std::string::npos) << plain.Err();
  }
  // Standard error on a terminal: the line is redrawn while tasks run.
  const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(::grantpt(terminal), 0);
  ASSERT_EQ(::unlockpt(terminal), 0);
  const std::string terminalPath = ::ptsname(terminal);
  ::fcntl(terminal, F_SETFL, O_NONBLOCK);
  WriteTextFile(Dir / "lines.in", Lines(150, "x"));
  TChildProcess child;
  std::vector<std::string> line = arguments;
  line.insert(line.begin(), KELVRA_SUBMIT_PATH);
  ASSERT_TRUE(child.Start(line, {}, Dir / "out", terminalPath, Dir / "lines.in").Ok());
  std::string seen;
  int status = TChildProcess::kRunning;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRunBoundMs);
  while (status == TChildProcess::kRunning && std::chrono::steady_clock::now() < deadline) {
    status = child.WaitExit(50);
    char buffer[4096];
    for (ssize_t got; (got = ::read(terminal, buffer, sizeof buffer)) > 0;) seen.append(buffer, static_cast<size_t>(got));
  }
  ::close(terminal);
  ASSERT_EQ(status, 0) << seen;
  EXPECT_NE(seen.find("\r["), std::string::npos) << seen;
  EXPECT_NE(seen.find("tasks/s"), std::string::npos) << seen;
  EXPECT_NE(seen.find("150 done, 0 failed"), std::string::npos) << seen;
  EXPECT_EQ(ReadTextFile(Dir / "out"), Lines(150, "x"));
}

TEST_F(SubmitTest, HelpShowsExamplesAndVersionTheNumber) {
  TSubmitRun help(Dir, {"--help"});
  ASSERT_EQ(help.Wait(), 0);
  EXPECT_NE(help.Out().find("Examples:"), std::string::npos);
  EXPECT_NE(help.Out().find("--local"), std::string::npos);
  TTempDir other;
  TSubmitRun version(other, {"--version"});
  ASSERT_EQ(version.Wait(), 0);
  EXPECT_EQ(version.Out().rfind("kelvra-submit ", 0), 0u);
}

}  // namespace
