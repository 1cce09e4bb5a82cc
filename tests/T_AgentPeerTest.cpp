// SPDX-License-Identifier: Apache-2.0
// The peer against a fake user data port on 127.0.0.1, built from the test
// platform, a load summary the test sets and a closing flag it sets.
#include "Agent/T_AgentPeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <future>
#include <optional>
#include <memory>
#include <thread>

#include "Agent/I_TaskReport.h"
#include "Common/T_GenericStream.h"
#include "Common/WireFraming.h"
#include "FakePeers.h"
#include "SessionFixture.h"
#include "StatusAssertions.h"
#include "TestSupport.h"

namespace {

struct PeerTest : ::testing::Test {
  TTempDir Dir;
  TTestPlatform Platform;
  fake::TFakeUser User;
  std::unique_ptr<TAgentParts> Agent;

  void SetUp() override { Agent = MakeAgent(User.Port()); }

  std::unique_ptr<TAgentParts> MakeAgent(uint16_t dataPort) {
    return std::make_unique<TAgentParts>(Platform, Dir, TestSettings(dataPort));
  }
  std::vector<std::string> Log() { return Platform.Debug.Taken(); }
  bool Logged(const std::string& line) {
    for (const std::string& taken : Log())
      if (taken == line + "\r") return true;
    return false;
  }
};

// A peer of the user at 127.0.0.1, borrowing `agent`'s parts.
TAgentPeer PeerOf(TAgentParts& agent) { return TAgentPeer(agent.Context, agent.Closing, agent.Load, "127.0.0.1"); }

struct TReportCounter : ITaskReport {
  void ReportTasks() override {}
  void MarkPeerFailed() override { ++Failed; }
  std::atomic<int> Failed{0};
};

// Posts TASK_DONE with a reference of its own to `output`; true unless a
// report failed meanwhile (with no other thread sending, the report leaves
// on this one before the call returns). The session it reports to lives as
// long as the test program: a report left to another thread may outlive
// the call.
bool PostDone(TAgentPeer& peer, uint32_t taskId, IGenericStream* output) {
  static TReportCounter session;
  TStreamRef reference = TStreamRef::AddRefTo(output);
  const int failedBefore = session.Failed.load();
  peer.PostTaskDone(taskId, reference, session);
  return session.Failed.load() == failedBefore;
}

// An output stream whose size can be asked once: the second GetSize raises.
struct TFailingSizeStream : IGenericStream {
  static IGenericStream* Create() { return new TFailingSizeStream; }

 private:
  TFailingSizeStream() : IGenericStream{&Table} {}
  int References = 1;
  int SizeAsked = 0;

  static TFailingSizeStream& Self(IGenericStream* self) { return *static_cast<TFailingSizeStream*>(self); }
  static int32_t AddRefSlot(IGenericStream* self) { return ++Self(self).References; }
  static int32_t ReleaseSlot(IGenericStream* self) {
    const int left = --Self(self).References;
    if (left == 0) delete &Self(self);
    return left;
  }
  static int32_t GetSizeSlot(IGenericStream* self) {
    if (++Self(self).SizeAsked > 1) throw std::runtime_error("no memory for the size");
    return 0;
  }
  static uint8_t* NoMemory(IGenericStream*) { return nullptr; }
  static const IGenericStreamVtbl Table;
};

const IGenericStreamVtbl TFailingSizeStream::Table = [] {
  IGenericStreamVtbl table{};
  table.AddRef = AddRefSlot;
  table.Release = ReleaseSlot;
  table.GetSize = GetSizeSlot;
  table.GetBasePointer = NoMemory;
  return table;
}();

// A file's bytes kept in memory as they arrive; `FailAfter` bytes on, it
// fails as a full disk does. The size of each piece handed is noted.
struct TStringSink : IByteSink {
  std::string Bytes;
  size_t FailAfter = SIZE_MAX;
  size_t Pieces = 0;
  size_t LargestPiece = 0;
  TStatus Write(const void* bytes, size_t size) override {
    ++Pieces;
    LargestPiece = std::max(LargestPiece, size);
    if (Bytes.size() + size > FailAfter) return TStatus::FromErrno(ENOSPC, "cannot write the file");
    Bytes.append(static_cast<const char*>(bytes), size);
    return {};
  }
};

// GET_FILE `name`: its bytes, or none when they did not all arrive.
std::optional<std::string> FileOf(TAgentPeer& peer, const std::string& name) {
  TStringSink sink;
  bool refused = false;
  if (!peer.RequestFile(name, sink, refused)) return std::nullopt;
  return sink.Bytes;
}

TStreamRef StreamOf(const std::string& content) {
  TStreamRef stream(TGenericStream::Create());
  EXPECT_OK(stream.Write(content.data(), static_cast<int32_t>(content.size())));
  return stream;
}

}  // namespace

TEST_F(PeerTest, FetchesFilesAndData) {
  User.AddFile("LIB.DLL", std::string("\x7F" "ELF\0\1", 6));
  User.AddData("block+1", "data bytes");
  TAgentPeer peer = PeerOf(*Agent);
  peer.Connect();
  EXPECT_TRUE(peer.Connected());
  EXPECT_EQ(FileOf(peer, "LIB.DLL"), std::string("\x7F" "ELF\0\1", 6));
  TStreamRef block = peer.RequestData("block 1");
  ASSERT_TRUE(block);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block.GetBasePointer()), block.GetSize()), "data bytes");
  auto requests = User.Taken();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Text, "GET_FILE LIB.DLL");
  EXPECT_EQ(requests[1].Text, "GET_DATA block+1");
  EXPECT_TRUE(Logged("AGENTPEER: Connecting to user data port, IP=127.0.0.1"));
  EXPECT_TRUE(Logged("AGENTPEER: Connected to user data port sucessfully, IP=127.0.0.1"));
}

TEST_F(PeerTest, AnythingButOkRefusesWithoutADataBlock) {
  User.SetFile("A.DLL", {"ok", "never read"});
  User.SetFile("B.DLL", {"Ok ", "never read"});
  User.SetData("d", {"Missing", "never read"});
  User.AddFile("C.DLL", "c");
  TAgentPeer peer = PeerOf(*Agent);
  peer.Connect();
  EXPECT_FALSE(FileOf(peer, "A.DLL"));
  EXPECT_FALSE(FileOf(peer, "B.DLL"));
  EXPECT_FALSE(peer.RequestData("d"));
  // The connection stayed in step: the next exchange works.
  EXPECT_EQ(FileOf(peer, "C.DLL"), "c");
  EXPECT_TRUE(Logged("AGENTPEER: GET_FILE A.DLL failed, file not found on user, IP=127.0.0.1"));
  EXPECT_TRUE(Logged("AGENTPEER: GET_FILE B.DLL failed, file not found on user, IP=127.0.0.1"));
  EXPECT_TRUE(Logged("AGENTPEER: GET_DATA failed! User IP=127.0.0.1"));
}

// A file many pieces long reaches its sink in pieces of at most
// kBlockPieceBytes. A sink that fails mid-file is handed nothing more and
// its failure is answered, not taken for a refusal; the rest of the file is
// read and dropped, so the next exchange finds the connection in step.
TEST_F(PeerTest, AFileArrivesInBoundedPiecesAndASinkThatFailsKeepsTheConnectionInStep) {
  std::string big(24 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + (i >> 13));
  User.AddFile("BIG.SO", big);
  User.AddFile("SMALL.SO", "small");
  TAgentPeer peer = PeerOf(*Agent);
  peer.Connect();
  TStringSink whole;
  bool refused = true;
  ASSERT_OK(peer.RequestFile("BIG.SO", whole, refused));
  EXPECT_FALSE(refused);
  EXPECT_TRUE(whole.Bytes == big);
  EXPECT_LE(whole.LargestPiece, kBlockPieceBytes);

  TStringSink full;
  full.FailAfter = 5 << 20;
  EXPECT_EQ(peer.RequestFile("BIG.SO", full, refused).Text(), "cannot write the file: No space left on device");
  EXPECT_FALSE(refused);
  EXPECT_EQ(full.Pieces, 6u) << "nothing after the failure";
  // (A connection out of step would read the rest of BIG.SO as frames.)
  RunBounded([&] { EXPECT_EQ(FileOf(peer, "SMALL.SO"), "small"); }, std::chrono::seconds(30), "the next exchange");

  TStringSink none;
  EXPECT_FALSE(peer.RequestFile("MISSING.SO", none, refused));
  EXPECT_TRUE(refused);
  EXPECT_EQ(none.Pieces, 0u);
  EXPECT_TRUE(peer.Connected());
}

TEST_F(PeerTest, FreeTextArgumentsAreEncoded) {
  TAgentPeer peer = PeerOf(*Agent);
  peer.Connect();
  FileOf(peer, "C:\\MY LIBS\\A,B.DLL");
  ASSERT_TRUE(peer.SendTaskFailed(9, "POOLTHREAD: exception \"boom\" in task 9"));
  auto requests = User.WaitFor(2, 10000);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Text, "GET_FILE C%3a%5cMY+LIBS%5cA%2cB.DLL");
  EXPECT_EQ(requests[1].Text, "TASK_FAILED 9 POOLTHREAD%3a+exception+%22boom%22+in+task+9");
  EXPECT_TRUE(Logged("AGENTPEER: TASK_FAILED 9 for IP=127.0.0.1 - POOLTHREAD: exception \"boom\" in task 9"));
}

// Sending can fail by an exception (memory, in the field; here an output
// whose size cannot be asked a second time): the report taken marks its
// session failed, the exception reaches its poster, and the peer sends the
// next report instead of leaving it to a sender that has gone.
TEST_F(PeerTest, ASenderThatFailsByAnExceptionLeavesThePeerSending) {
  TAgentPeer peer = PeerOf(*Agent);
  peer.Connect();
  TReportCounter session;
  TStreamRef first(TFailingSizeStream::Create());
  EXPECT_THROW(peer.PostTaskDone(1, first, session), std::runtime_error);
  EXPECT_EQ(session.Failed.load(), 1);
  TStreamRef second = StreamOf("two");
  peer.PostTaskDone(2, second, session);
  auto requests = User.WaitFor(1, 10000);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Text.rfind("TASK_DONE 2 ", 0), 0u) << requests[0].Text;
  EXPECT_EQ(session.Failed.load(), 1);
}

TEST_F(PeerTest, TaskDoneCarriesTheLoadSummaryAndTheWholeOutput) {
  TAgentPeer peer = PeerOf(*Agent);
  peer.Connect();
  TStreamRef output = StreamOf("result");
  ASSERT_OK(output.SetPos(3));
  ASSERT_TRUE(PostDone(peer, 4294967295u, output.Get()));
  TStreamRef empty(TGenericStream::Create());
  ASSERT_TRUE(PostDone(peer, 7, empty.Get()));
  auto requests = User.WaitFor(2, 10000);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Text, "TASK_DONE 4294967295 0.0 0.0 0");
  EXPECT_EQ(requests[0].Block, "result");
  EXPECT_EQ(requests[1].Text, "TASK_DONE 7 0.0 0.0 0");
  EXPECT_EQ(requests[1].Block, "");
  EXPECT_TRUE(Logged("AGENTPEER: TASK_DONE 7 for IP=127.0.0.1"));
}

TEST_F(PeerTest, AnUnreachableUserFailsEveryExchangeAtOnce) {
  uint16_t closedPort = 0;
  {
    fake::TFramedServer gone;  // a port that was free a moment ago
    closedPort = gone.Port();
  }
  auto agent = MakeAgent(closedPort);
  TAgentPeer peer = PeerOf(*agent);
  peer.Connect();
  EXPECT_FALSE(peer.Connected());
  EXPECT_FALSE(FileOf(peer, "LIB.DLL"));
  EXPECT_FALSE(peer.RequestData("x"));
  TStreamRef output = StreamOf("r");
  EXPECT_FALSE(PostDone(peer, 1, output.Get()));
  EXPECT_FALSE(peer.SendTaskFailed(1, "m"));
  EXPECT_TRUE(Logged("AGENTPEER: Unable to connect to user data port, IP=127.0.0.1"));
  // No connection is no refusal: the file was never asked for.
  TStringSink sink;
  bool refused = true;
  EXPECT_EQ(peer.RequestFile("LIB.DLL", sink, refused).Code(), ENOTCONN);
  EXPECT_FALSE(refused);
  EXPECT_FALSE(Logged("AGENTPEER: GET_FILE LIB.DLL failed, file not found on user, IP=127.0.0.1"));
  EXPECT_TRUE(Logged("AGENTPEER: GET_DATA failed! User IP=127.0.0.1"));
  EXPECT_EQ(User.Connections(), 0);
}

TEST_F(PeerTest, ExchangesOfSeveralThreadsNeverInterleave) {
  std::string big(300000, 'f');
  User.AddFile("BIG.DLL", big);
  User.ReplyDelayMs = 20;
  TAgentPeer peer = PeerOf(*Agent);
  peer.Connect();
  TStreamRef output = StreamOf(std::string(200000, 'o'));
  std::vector<std::future<bool>> calls;
  for (int i = 0; i < 4; ++i) {
    calls.push_back(std::async(std::launch::async, [&] { return FileOf(peer, "BIG.DLL") == big; }));
    calls.push_back(std::async(std::launch::async, [&, i] { return PostDone(peer, i, output.Get()); }));
  }
  for (auto& call : calls) EXPECT_TRUE(call.get());
  auto requests = User.WaitFor(8, 10000);
  EXPECT_EQ(requests.size(), 8u);
  EXPECT_FALSE(User.Garbled());
  for (const auto& request : requests) {
    if (request.Text.rfind("TASK_DONE", 0) == 0) {
      EXPECT_EQ(request.Block.size(), 200000u);
    }
  }
}

// While the session lives the peer waits for a silent user; once it ends, a
// user that moves nothing for the closing bound is dropped, whether its
// exchange began before (the worker's CloseIfStalled) or after.
TEST_F(PeerTest, OnceTheSessionEndsAUserWhoStopsAnsweringIsDropped) {
  User.AddFile("STALL.DLL", std::string(100000, 's'));
  User.StallAt("GET_FILE STALL.DLL");
  TAgentPeer peer = PeerOf(*Agent);
  peer.Connect();
  auto fetching = std::async(std::launch::async, [&] { return FileOf(peer, "STALL.DLL"); });
  ASSERT_TRUE(User.WaitForCount(1, 10000));
  peer.CloseIfStalled();
  EXPECT_EQ(fetching.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
      << "a live session waits for its user";
  EXPECT_TRUE(peer.Connected());

  peer.BeginClosing();
  const bool dropped = WaitUntil(
      [&] {
        peer.CloseIfStalled();  // as the worker does while the session's tasks finish
        return fetching.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
      },
      std::chrono::seconds(30));
  User.ReleaseStalls();
  ASSERT_TRUE(dropped);
  EXPECT_FALSE(fetching.get());
  EXPECT_FALSE(peer.Connected());
  EXPECT_TRUE(Logged("AGENTPEER: User does not answer, connection closed, IP=127.0.0.1"));
  TStreamRef output = StreamOf("r");
  EXPECT_FALSE(PostDone(peer, 1, output.Get())) << "later exchanges fail at once";

  // An exchange that begins after the end is bounded on its own.
  TAgentPeer late = PeerOf(*Agent);
  late.Connect();
  late.BeginClosing();
  User.AddData("slow", "data");
  User.ReplyDelayMs = 1000;
  EXPECT_TRUE(late.RequestData("slow")) << "a user that answers within the bound still gets through";
  User.ReplyDelayMs = 0;
  User.AddData("stalled", std::string(100000, 'd'));
  User.StallAt("GET_DATA stalled");
  std::atomic<bool> released{false};
  auto releaser = std::async(std::launch::async, [&] {
    // Frees an agent that would wait for ever, well after the bound.
    for (int i = 0; i < 300 && !released; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    User.ReleaseStalls();
  });
  const auto began = std::chrono::steady_clock::now();
  EXPECT_FALSE(late.RequestData("stalled"));
  released = true;
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(25)) << "the closing bound ended it";
  EXPECT_TRUE(Logged("AGENTPEER: GET_DATA failed! User IP=127.0.0.1"));
}

// A session that ends while its connect waits for an answer gives it up.
TEST_F(PeerTest, EndingTheSessionCancelsAConnectInProgress) {
  fake::TUnansweredListener silent;
  ASSERT_NE(silent.Port(), 0);
  auto agent = MakeAgent(silent.Port());
  TAgentPeer peer = PeerOf(*agent);
  auto connecting = std::async(std::launch::async, [&] { peer.Connect(); });
  EXPECT_EQ(connecting.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  peer.BeginClosing();
  ASSERT_EQ(connecting.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "before the 20 s bound";
  EXPECT_FALSE(peer.Connected());
  EXPECT_TRUE(Logged("AGENTPEER: Unable to connect to user data port, IP=127.0.0.1"));
}

// Each TASK_DONE reads the load summary as it is when the report leaves,
// not as it was when the peer was made or last reported.
TEST_F(PeerTest, TaskDoneCarriesTheLoadSummaryOfTheMoment) {
  Agent->Load.Summary = "1.2 3.4 1536";
  TAgentPeer peer = PeerOf(*Agent);
  peer.Connect();
  TStreamRef output = StreamOf("r");
  ASSERT_TRUE(PostDone(peer, 1, output.Get()));
  Agent->Load.Summary = "0.0 2.3 512";
  ASSERT_TRUE(PostDone(peer, 2, output.Get()));
  auto requests = User.WaitFor(2, 10000);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Text, "TASK_DONE 1 1.2 3.4 1536");
  EXPECT_EQ(requests[1].Text, "TASK_DONE 2 0.0 2.3 512");
}

// The session can end before its worker thread gets to connect: the
// connect still to come gives up without reaching the user.
TEST_F(PeerTest, ASessionEndedBeforeItsConnectNeverConnects) {
  TAgentPeer peer = PeerOf(*Agent);
  peer.BeginClosing();
  RunBounded([&] { peer.Connect(); }, std::chrono::seconds(10), "a connect after the session's end");
  EXPECT_FALSE(peer.Connected());
  EXPECT_TRUE(Logged("AGENTPEER: Unable to connect to user data port, IP=127.0.0.1"));
  TStreamRef output = StreamOf("r");
  EXPECT_FALSE(PostDone(peer, 1, output.Get()));
  EXPECT_EQ(User.Connections(), 0);
}

// A session that ends alone gives its silent user the whole closing bound
// from then on. While the agent shuts down, its sessions end one after
// another: there a user's silence counts from its last byte, so that their
// waits do not add up.
TEST_F(PeerTest, WhileTheAgentShutsDownAUsersSilenceCountsFromItsLastByte) {
  User.AddFile("STALL.DLL", std::string(100000, 's'));
  User.StallAt("GET_FILE STALL.DLL");
  auto shuttingDown = MakeAgent(User.Port());
  TAgentPeer alone = PeerOf(*Agent);
  TAgentPeer last = PeerOf(*shuttingDown);
  alone.Connect();
  last.Connect();
  auto aloneFetch = std::async(std::launch::async, [&] { return FileOf(alone, "STALL.DLL"); });
  auto lastFetch = std::async(std::launch::async, [&] { return FileOf(last, "STALL.DLL"); });
  ASSERT_TRUE(User.WaitForCount(2, 10000));
  // Both users have been silent for longer than the bound.
  std::this_thread::sleep_for(std::chrono::milliseconds(TAgentPeer::kClosingWaitMs + 1000));

  const auto began = std::chrono::steady_clock::now();
  alone.BeginClosing();
  alone.CloseIfStalled();
  const bool promptly = std::chrono::steady_clock::now() - began < std::chrono::milliseconds(TAgentPeer::kClosingWaitMs);
  if (promptly) {
    EXPECT_TRUE(alone.Connected()) << "a session that ends alone gives its user the bound from now";
  }

  shuttingDown->Closing.Set();
  last.BeginClosing();
  last.CloseIfStalled();
  EXPECT_FALSE(last.Connected()) << "the user had been silent for the bound already";
  EXPECT_EQ(lastFetch.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  User.ReleaseStalls();
  EXPECT_FALSE(lastFetch.get());
  EXPECT_FALSE(aloneFetch.get());
  EXPECT_TRUE(Logged("AGENTPEER: User does not answer, connection closed, IP=127.0.0.1"));
}

// Pool threads post their reports while the user is slow to answer another
// thread's exchange: each report reaches the user once, whole, in a frame of
// its own, and the posters' holders are emptied at once.
TEST_F(PeerTest, PostedReportsOfSeveralThreadsEachArriveOnceAndWhole) {
  User.AddFile("SLOW.DLL", "s");
  User.ReplyDelayMs = 20;
  TAgentPeer peer = PeerOf(*Agent);
  peer.Connect();
  TReportCounter reports;
  constexpr int kThreads = 6;
  constexpr int kEach = 40;
  std::vector<std::thread> posters;
  std::atomic<int> heldAfterPost{0};
  for (int t = 0; t < kThreads; ++t)
    posters.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const int id = t * kEach + i;
        if (i % 10 == 0) FileOf(peer, "SLOW.DLL");
        TStreamRef output = StreamOf(std::string(static_cast<size_t>(id * 37 % 5000), char('A' + id % 26)));
        peer.PostTaskDone(static_cast<uint32_t>(id), output, reports);
        if (output) ++heldAfterPost;
      }
    });
  for (std::thread& poster : posters) poster.join();
  auto requests = User.WaitFor(kThreads * kEach + kThreads * kEach / 10, 20000);
  EXPECT_FALSE(User.Garbled());
  EXPECT_EQ(heldAfterPost.load(), 0);
  EXPECT_EQ(reports.Failed.load(), 0);
  std::vector<int> seen(kThreads * kEach, 0);
  for (const auto& request : requests) {
    if (request.Text.rfind("TASK_DONE ", 0) != 0) continue;
    const int id = std::stoi(request.Text.substr(10));
    ASSERT_GE(id, 0);
    ASSERT_LT(id, kThreads * kEach);
    ++seen[id];
    EXPECT_EQ(request.Text, "TASK_DONE " + std::to_string(id) + " 0.0 0.0 0");
    EXPECT_EQ(request.Block, std::string(static_cast<size_t>(id * 37 % 5000), char('A' + id % 26)));
  }
  for (int id = 0; id < kThreads * kEach; ++id) EXPECT_EQ(seen[id], 1) << "task " << id;
  EXPECT_TRUE(Logged("AGENTPEER: TASK_DONE 239 for IP=127.0.0.1"));
}

TEST_F(PeerTest, APostedReportThatCannotBeSentMarksItsSessionFailed) {
  uint16_t closedPort = 0;
  {
    fake::TFramedServer gone;
    closedPort = gone.Port();
  }
  auto agent = MakeAgent(closedPort);
  TAgentPeer peer = PeerOf(*agent);
  peer.Connect();
  TReportCounter reports;
  TStreamRef output = StreamOf("r");
  peer.PostTaskDone(1, output, reports);
  EXPECT_FALSE(output);
  EXPECT_EQ(reports.Failed.load(), 1);
}
