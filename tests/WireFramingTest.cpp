// SPDX-License-Identifier: Apache-2.0
#include "Common/WireFraming.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "Common/T_Connection.h"
#include "Common/T_GenericStream.h"
#include "Common/T_StreamRef.h"
#include "FakePeers.h"
#include "StreamTestSupport.h"
#include "T_MemoryConnection.h"
#include "TestSupport.h"

namespace {

// A client connection of the agent's socket layer to a raw peer socket.
struct FramingTest : ::testing::Test {
  TFakeNameResolver Names;
  TConnection Client;
  int Peer = -1;

  void SetUp() override {
    uint16_t port = 0;
    int listener = fake::Listen(0, port);
    ASSERT_GE(listener, 0);
    ASSERT_OK(Client.Open(Names, "127.0.0.1", port));
    Peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    ASSERT_GE(Peer, 0);
  }
  void TearDown() override {
    if (Peer >= 0) ::close(Peer);
  }

  std::string PeerReads(size_t count) {
    std::string bytes(count, '\0');
    EXPECT_TRUE(fake::ReadExact(Peer, bytes.data(), count, 10000));
    return bytes;
  }
  void PeerSends(const std::string& bytes) { ASSERT_TRUE(fake::WriteAll(Peer, bytes)); }
  void PeerCloses() {
    ::close(Peer);
    Peer = -1;
  }
};

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int v : values) bytes.push_back(static_cast<char>(v));
  return bytes;
}

}  // namespace

TEST_F(FramingTest, TextBlocksOnTheWire) {
  ASSERT_OK(SocketWriteString(Client, "", 10000));
  EXPECT_EQ(PeerReads(4), Bytes({0, 0, 0, 0}));
  ASSERT_OK(SocketWriteString(Client, "GET_FILE a.dll", 10000));
  EXPECT_EQ(PeerReads(18), Bytes({0x0E, 0, 0, 0}) + "GET_FILE a.dll");
}

TEST_F(FramingTest, StreamsGoWholeWhateverTheirPosition) {
  TStreamRef stream = StreamOf("payload", 4);
  ASSERT_OK(SocketWriteStringAndStream(Client, "TASK_DONE 7", stream.Get(), 10000));
  EXPECT_EQ(PeerReads(4 + 11 + 4 + 7), Bytes({11, 0, 0, 0}) + "TASK_DONE 7" + Bytes({7, 0, 0, 0}) + "payload");
  EXPECT_EQ(stream.GetPos(), 4);

  TStreamRef empty(TGenericStream::Create());
  ASSERT_OK(SocketWriteStringAndStream(Client, "Ok", empty.Get(), 10000));
  EXPECT_EQ(PeerReads(10), Bytes({2, 0, 0, 0}) + "Ok" + Bytes({0, 0, 0, 0}));
}

TEST_F(FramingTest, LargeStreamsRoundTripInPieces) {
  std::string content(1 << 20, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + (i >> 11));
  TStreamRef stream = StreamOf(content);
  auto reader = std::async(std::launch::async, [&] {
    std::string text, block;
    bool ok = fake::ReadFrame(Peer, text, 10000) && fake::ReadFrame(Peer, block, 10000);
    return ok && text == "X" && block == content;
  });
  ASSERT_OK(SocketWriteStringAndStream(Client, "X", stream.Get(), 10000));
  EXPECT_TRUE(reader.get());

  // And back: the peer sends it, the agent reads it into a new stream.
  PeerSends(fake::Frame(content));
  IGenericStream* received = nullptr;
  ASSERT_OK(SocketReadGenericStream(Client, received, 10000));
  TStreamRef held(received);
  ASSERT_EQ(held.GetSize(), static_cast<int32_t>(content.size()));
  EXPECT_EQ(held.GetPos(), held.GetSize());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(held.GetBasePointer()), content.size()), content);
}

TEST_F(FramingTest, ReadsCollectBytesThatArriveInPieces) {
  auto sender = std::async(std::launch::async, [&] {
    std::string frame = fake::Frame("KEEP_ALIVE");
    for (char c : frame) {
      fake::WriteAll(Peer, std::string(1, c));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::string text;
  ASSERT_OK(SocketReadString(Client, text, 10000));
  EXPECT_EQ(text, "KEEP_ALIVE");
  sender.get();
  PeerSends(fake::Frame(""));
  ASSERT_OK(SocketReadString(Client, text, 10000));
  EXPECT_EQ(text, "");
  PeerSends(fake::Frame("file bytes"));
  std::string content = "old";
  ASSERT_OK(SocketReadStream(Client, content, 10000));
  EXPECT_EQ(content, "file bytes");
}

TEST_F(FramingTest, TimeOutAndPeerCloseFailTheRead) {
  std::string text = "untouched";
  PeerSends(Bytes({5, 0, 0}));  // three bytes of a length, then silence
  EXPECT_FALSE(SocketReadString(Client, text, 200));
  PeerSends(Bytes({0}) + "ab");  // the rest of the length and two of five bytes
  PeerCloses();
  IGenericStream* stream = nullptr;
  EXPECT_FALSE(SocketReadGenericStream(Client, stream, 10000));
  EXPECT_EQ(stream, nullptr);
}

TEST_F(FramingTest, BlocksArrivingInOddPiecesLandWholeAndTakeNoByteOfTheNext) {
  // Two frames back to back, sent in pieces that straddle the reader's
  // growth steps and the frame boundary.
  std::string first(200001, '\0'), second(70000, '\0');
  for (size_t i = 0; i < first.size(); ++i) first[i] = static_cast<char>(i * 13 + (i >> 9));
  for (size_t i = 0; i < second.size(); ++i) second[i] = static_cast<char>(i * 5 + 1);
  const std::string wire = fake::Frame(first) + fake::Frame(second) + fake::Frame("after");
  auto sender = std::async(std::launch::async, [&] {
    bool ok = true;
    for (size_t at = 0; at < wire.size() && ok; at += 7777) ok = fake::WriteAll(Peer, wire.substr(at, 7777));
    return ok;
  });
  IGenericStream* received = nullptr;
  ASSERT_OK(SocketReadGenericStream(Client, received, 10000));
  TStreamRef held(received);
  ASSERT_EQ(held.GetSize(), static_cast<int32_t>(first.size()));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(held.GetBasePointer()), first.size()), first);
  std::string content;
  ASSERT_OK(SocketReadStream(Client, content, 10000));
  EXPECT_EQ(content, second);
  std::string text;
  ASSERT_OK(SocketReadString(Client, text, 10000));
  EXPECT_EQ(text, "after");
  EXPECT_TRUE(sender.get());
}

// 1 MiB announced, and more than the reader's first buffer of it.
std::string CutBlock() { return Bytes({0, 0, 0x10, 0}) + std::string(150000, 'p'); }

TEST_F(FramingTest, ABlockCutShortByTheTimeOutLeavesNoStream) {
  auto sender = std::async(std::launch::async, [&] { return fake::WriteAll(Peer, CutBlock()); });
  IGenericStream* stream = nullptr;
  EXPECT_FALSE(SocketReadGenericStream(Client, stream, 500));
  EXPECT_EQ(stream, nullptr);
  EXPECT_TRUE(sender.get());
}

TEST_F(FramingTest, ABlockCutShortByThePeerLeavesNoStream) {
  auto sender = std::async(std::launch::async, [&] {
    bool ok = fake::WriteAll(Peer, CutBlock());
    PeerCloses();
    return ok;
  });
  IGenericStream* stream = nullptr;
  EXPECT_FALSE(SocketReadGenericStream(Client, stream, 10000));
  EXPECT_EQ(stream, nullptr);
  EXPECT_TRUE(sender.get());
}

TEST_F(FramingTest, ATrickledFrameEndsAtTheTimeOutOfTheWholeFrame) {
  // Each byte comes well within the time-out; the frame as a whole does not.
  std::atomic<bool> stop{false};
  auto sender = std::async(std::launch::async, [&] {
    const std::string frame = fake::Frame("KEEP_ALIVE");
    for (size_t i = 0; i < frame.size() && !stop; ++i) {
      fake::WriteAll(Peer, std::string(1, frame[i]));
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
  });
  std::string text;
  EXPECT_FALSE(SocketReadString(Client, text, 600));
  stop = true;
  sender.get();
}

TEST_F(FramingTest, ABoundedReadRefusesALongerBlockUnread) {
  std::string text = "untouched";
  PeerSends(fake::Frame(std::string(65536, ',')));
  EXPECT_OK(SocketReadString(Client, text, 10000, 65536));
  EXPECT_EQ(text.size(), 65536u);
  // Only the length is taken: nearly 2 GB announced holds nothing.
  PeerSends(Bytes({0xF0, 0xFF, 0xFF, 0x7F}) + "tiny");
  text = "untouched";
  int32_t announced = 0;
  EXPECT_EQ(SocketReadString(Client, text, 10000, 65536, &announced).Code(), EMSGSIZE);
  EXPECT_EQ(text, "untouched");
  EXPECT_EQ(announced, 0x7FFFFFF0);
  // Its bytes are still on the connection.
  char rest[4] = {};
  size_t got = 0;
  EXPECT_OK(Client.Read(rest, 4, TDeadline(10000), got));
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(std::string(rest, 4), "tiny");
}

TEST_F(FramingTest, LyingLengthsFailTheRead) {
  // A negative length.
  PeerSends(Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
  std::string text;
  EXPECT_FALSE(SocketReadString(Client, text, 10000));
  // Nearly 2 GB announced, a few bytes sent: the read fails when the peer
  // goes, having held only what arrived.
  PeerSends(Bytes({0xF0, 0xFF, 0xFF, 0x7F}) + "tiny");
  PeerCloses();
  std::string content = "untouched";
  EXPECT_FALSE(SocketReadStream(Client, content, 10000));
  EXPECT_EQ(content, "untouched");
}

TEST_F(FramingTest, NotConnectedFailsWithoutTouchingTheWire) {
  Client.Close();
  TStreamRef stream = StreamOf("x");
  std::string text;
  IGenericStream* received = nullptr;
  EXPECT_EQ(SocketWriteString(Client, "GET_DATA a", 1000).Code(), ENOTCONN);
  EXPECT_EQ(SocketWriteStringAndStream(Client, "TASK_DONE 1", stream.Get(), 1000).Code(), ENOTCONN);
  EXPECT_EQ(SocketReadString(Client, text, 1000).Code(), ENOTCONN);
  EXPECT_EQ(SocketReadGenericStream(Client, received, 1000).Code(), ENOTCONN);
  struct : IByteSink {
    TStatus Write(const void*, size_t) override { return TStatus::Failure("", "no byte was expected"); }
  } sink;
  TStatus kept;
  EXPECT_EQ(SocketReadStreamTo(Client, sink, kept, 1000).Code(), ENOTCONN);
  char byte;
  EXPECT_EQ(::recv(Peer, &byte, 1, 0), 0) << "the peer saw only the close";
}

TEST_F(FramingTest, AFailedWriteSaysWhichCallFailedAndWhy) {
  PeerCloses();
  // The first write may still be taken by the system; the peer's reset
  // fails a later one.
  TStatus written;
  for (int i = 0; i < 50 && written; ++i) {
    written = SocketWriteString(Client, std::string(4096, 'x'), 1000);
    if (written) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_FALSE(written);
  EXPECT_EQ(written.Text().rfind("SocketWriteString: Write error 32, ", 0), 0u) << written.Text();
  TStreamRef stream = StreamOf("x");
  const TStatus withStream = SocketWriteStringAndStream(Client, "TASK_DONE 1", stream.Get(), 1000);
  EXPECT_EQ(withStream.Text().rfind("SocketWriteStringAndStream: Write error ", 0), 0u) << withStream.Text();
}

// Frames that arrived together are taken from the connection's receive
// buffer: one receive brings them all, and each is read whole and in order.
TEST(BufferedFraming, ManyFramesThatArrivedTogetherCostOneReceive) {
  std::string batch;
  for (int i = 0; i < 100; ++i) batch += fake::Frame("TASK " + std::to_string(i));
  TMemoryConnection connection(batch);  // all of it waits before the first read
  const uint64_t before = TTcpSocket::CallsOnThisThread();
  std::string text;
  for (int i = 0; i < 100; ++i) {
    ASSERT_OK(SocketReadString(*connection.Agent, text, 10000)) << i;
    ASSERT_EQ(text, "TASK " + std::to_string(i));
  }
  EXPECT_LE(TTcpSocket::CallsOnThisThread() - before, 2u) << "a poll and a recv for 100 frames";
  // Then the end of the stream, as without a buffer.
  EXPECT_FALSE(SocketReadString(*connection.Agent, text, 10000));
}

// A report's text block and its data block leave in one system call.
TEST(BufferedFraming, ATextAndItsDataBlockLeaveInOneWrite) {
  TMemoryConnection connection("");
  TStreamRef stream = StreamOf("result bytes");
  const uint64_t before = TTcpSocket::CallsOnThisThread();
  ASSERT_OK(SocketWriteStringAndStream(*connection.Agent, "TASK_DONE 3", stream.Get(), 10000));
  EXPECT_EQ(TTcpSocket::CallsOnThisThread() - before, 1u);
  std::string text, block;
  ASSERT_TRUE(fake::ReadFrame(connection.Peer.Get(), text, 10000));
  ASSERT_TRUE(fake::ReadFrame(connection.Peer.Get(), block, 10000));
  EXPECT_EQ(text, "TASK_DONE 3");
  EXPECT_EQ(block, "result bytes");
}

TEST_F(FramingTest, FramesSplitAcrossSegmentsAreJoinedWhereverTheCutFalls) {
  // A small frame, a large one (read past the buffer, straight into the
  // block) and a small one, cut inside a length, inside the large payload
  // and inside the last frame's text.
  std::string large(100000, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 13 + (i >> 9));
  const std::string wire = fake::Frame("first") + fake::Frame(large) + fake::Frame("last");
  const size_t cuts[] = {0, 11, 7000, 60001, wire.size() - 2, wire.size()};
  auto sender = std::async(std::launch::async, [&] {
    for (size_t i = 0; i + 1 < std::size(cuts); ++i) {
      fake::WriteAll(Peer, wire.substr(cuts[i], cuts[i + 1] - cuts[i]));
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
  });
  std::string text;
  ASSERT_OK(SocketReadString(Client, text, 10000));
  EXPECT_EQ(text, "first");
  IGenericStream* received = nullptr;
  ASSERT_OK(SocketReadGenericStream(Client, received, 10000));
  TStreamRef held(received);
  ASSERT_EQ(held.GetSize(), static_cast<int32_t>(large.size()));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(held.GetBasePointer()), large.size()), large);
  ASSERT_OK(SocketReadString(Client, text, 10000));
  EXPECT_EQ(text, "last");
  sender.get();
}

TEST_F(FramingTest, AFrameWhoseEndComesAfterItsDeadlineFailsThoughItsStartIsBuffered) {
  // The first frame and half of the second arrive together.
  const std::string second = fake::Frame("KEEP_ALIVE");
  PeerSends(fake::Frame("GET_LOAD") + second.substr(0, 7));
  std::string text;
  ASSERT_OK(SocketReadString(Client, text, 400));
  EXPECT_EQ(text, "GET_LOAD");
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(SocketReadString(Client, text, 400));
  EXPECT_GE(ElapsedMs(start), 350);
  EXPECT_LT(ElapsedMs(start), 10000);
  // The rest comes late: the frame has failed for good, the bytes stay.
  PeerSends(second.substr(7));
  char rest[7] = {};
  size_t got = 0;
  EXPECT_OK(Client.Read(rest, 7, TDeadline(10000), got));
  EXPECT_EQ(got, 7u);
  EXPECT_EQ(std::string(rest, 7), "P_ALIVE");
}

TEST_F(FramingTest, AConnectionOpenedAgainDoesNotSeeBytesBufferedBeforeItsClose) {
  // The session ends with the next frame's start already in the buffer.
  PeerSends(fake::Frame("Ok") + fake::Frame("stale").substr(0, 6));
  std::string text;
  ASSERT_OK(SocketReadString(Client, text, 10000));
  EXPECT_EQ(text, "Ok");
  Client.Close();
  uint16_t port = 0;
  int listener = fake::Listen(0, port);
  ASSERT_GE(listener, 0);
  ASSERT_OK(Client.Open(Names, "127.0.0.1", port));
  int fresh = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ::close(listener);
  ASSERT_GE(fresh, 0);
  ASSERT_TRUE(fake::WriteAll(fresh, fake::Frame("fresh")));
  EXPECT_OK(SocketReadString(Client, text, 10000));
  EXPECT_EQ(text, "fresh");
  ::close(fresh);
}

TEST_F(FramingTest, ShutdownFromAnotherThreadEndsAReadWhoseFrameIsPartlyBuffered) {
  // Frames keep coming while a reader takes them; the last one stops half
  // way, and another thread shuts the connection down under the waiting
  // reader.
  std::string wire;
  for (int i = 0; i < 50; ++i) wire += fake::Frame("RUN " + std::to_string(i));
  wire += fake::Frame("never finished").substr(0, 9);
  std::atomic<int> frames{0};
  auto reader = std::async(std::launch::async, [&] {
    std::string text;
    while (SocketReadString(Client, text, kInfiniteWait)) ++frames;
  });
  for (size_t at = 0; at < wire.size(); at += 97) PeerSends(wire.substr(at, 97));
  for (int i = 0; i < 1000 && frames.load() < 50; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(frames.load(), 50);  // (the shutdown below ends the reader either way)
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // waiting for the rest of the 51st
  Client.Shutdown();
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  reader.get();
  EXPECT_EQ(frames.load(), 50);
  EXPECT_FALSE(Client.Connected());
}

// Reports ready together: each text and its block in order, as many in one
// system call as a write's pieces take, the rest in the next ones.
TEST(BufferedFraming, SeveralReportsLeaveInFewWritesAndInOrder) {
  TMemoryConnection connection("");
  std::vector<TStreamRef> streams;
  std::vector<std::string> texts;
  for (int i = 0; i < 40; ++i) {
    streams.push_back(StreamOf(std::string(static_cast<size_t>(i % 3 == 0 ? 0 : 100 * i), char('a' + i % 26)), i));
    texts.push_back("TASK_DONE " + std::to_string(i));
  }
  std::vector<TTextAndStream> blocks;
  for (int i = 0; i < 40; ++i) blocks.push_back({texts[i], streams[i].Get()});
  auto reader = std::async(std::launch::async, [&] {
    for (int i = 0; i < 40; ++i) {
      std::string text, block;
      if (!fake::ReadFrame(connection.Peer.Get(), text, 10000) || !fake::ReadFrame(connection.Peer.Get(), block, 10000))
        return false;
      const std::string expected(static_cast<size_t>(i % 3 == 0 ? 0 : 100 * i), char('a' + i % 26));
      if (text != texts[i] || block != expected) return false;
    }
    return true;
  });
  const uint64_t before = TTcpSocket::CallsOnThisThread();
  ASSERT_OK(SocketWriteStringsAndStreams(*connection.Agent, blocks.data(), blocks.size(), 10000));
  EXPECT_LE(TTcpSocket::CallsOnThisThread() - before, 6u) << "16 reports per write, a few partial sends at most";
  EXPECT_TRUE(reader.get());
  for (int i = 0; i < 40; ++i) EXPECT_EQ(streams[i].GetPos(), i) << "positions are left alone";
}

TEST(BufferedFraming, AReportWithoutAStreamFailsTheWriteAndNothingAfterItIsSent) {
  TMemoryConnection connection("");
  TStreamRef first = StreamOf("one");
  const std::string text = "TASK_DONE 1";
  const TTextAndStream blocks[] = {{text, first.Get()}, {"TASK_DONE 2", nullptr}, {"TASK_DONE 3", first.Get()}};
  EXPECT_EQ(SocketWriteStringsAndStreams(*connection.Agent, blocks, 3, 10000).Text(),
            "SocketWriteStringsAndStreams: No stream to send");
  connection.Agent->Close();
  std::string rest;
  char byte;
  while (::read(connection.Peer.Get(), &byte, 1) == 1) rest.push_back(byte);
  EXPECT_EQ(rest.find("TASK_DONE 3"), std::string::npos) << "nothing after the failure is sent";
}

namespace {

// Frames of `size` bytes each, for a gathered write.
struct TFrames {
  TFrames(int count, size_t size) {
    for (int i = 0; i < count; ++i) {
      Streams.push_back(StreamOf(std::string(size, char('a' + i))));
      Texts.push_back("RUN_TASK " + std::to_string(i + 1) + " lib.so Proc");
    }
    for (int i = 0; i < count; ++i) Blocks.push_back({Texts[i], Streams[i].Get()});
  }
  std::vector<TStreamRef> Streams;
  std::vector<std::string> Texts;
  std::vector<TTextAndStream> Blocks;
};

// Reads `fd` at about 1 MB/s (64 KiB every 60 ms) until it ends or has
// been silent for 5 s: the bytes read.
size_t ReadSlowly(int fd) {
  size_t total = 0;
  std::string piece(64 * 1024, '\0');
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 5000) <= 0) return total;
    const ssize_t got = ::recv(fd, piece.data(), piece.size(), MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN)) return total;
    if (got > 0) total += static_cast<size_t>(got);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
  }
}

}  // namespace

// Six frames of 512 KiB to a reader taking about half a second for each:
// every frame well within its 1.5 s, the whole well beyond. Each frame's own
// bound lets them all through; one bound for the call cuts them.
TEST(BufferedFraming, EachFrameHasItsOwnTimeOutSoASlowReaderTakesThemAll) {
  constexpr size_t kFrameBytes = 512 * 1024;
  TFrames frames(6, kFrameBytes);
  {
    TMemoryConnection connection("");
    auto reader = std::async(std::launch::async, [&] { return ReadSlowly(connection.Peer.Get()); });
    EXPECT_OK(SocketWriteStringsAndStreams(*connection.Agent, frames.Blocks.data(), frames.Blocks.size(), 1500,
                                           TFrameTime::kEachFrame));
    connection.Agent->Close();
    EXPECT_GE(reader.get(), 6 * kFrameBytes);
  }
  TMemoryConnection connection("");
  auto reader = std::async(std::launch::async, [&] { return ReadSlowly(connection.Peer.Get()); });
  const TStatus whole =
      SocketWriteStringsAndStreams(*connection.Agent, frames.Blocks.data(), frames.Blocks.size(), 1500);
  EXPECT_EQ(whole.Text(), "SocketWriteStringsAndStreams: Stream write error");
  EXPECT_EQ(whole.Code(), ETIMEDOUT);
  connection.Agent->Close();
  EXPECT_LT(reader.get(), 6 * kFrameBytes);
}

// Each frame's bound is still a bound: a peer that stops reading fails the
// write once the frame under way has had its time.
TEST(BufferedFraming, EachFrameStillFailsWhenThePeerStopsReading) {
  TFrames frames(3, 1 << 20);
  TMemoryConnection connection("");
  const auto start = std::chrono::steady_clock::now();
  const TStatus sent = SocketWriteStringsAndStreams(*connection.Agent, frames.Blocks.data(), frames.Blocks.size(),
                                                    300, TFrameTime::kEachFrame);
  EXPECT_EQ(sent.Code(), ETIMEDOUT) << sent.Text();
  EXPECT_LT(ElapsedMs(start), 10000);
}

TEST(PacedFraming, APacedTimeOutGrowsWithTheBlockAndKeepsNoLimitAsItIs) {
  EXPECT_EQ(PacedTimeoutMs(0, 1000), 1000);
  EXPECT_EQ(PacedTimeoutMs(64 * 1000, 1000), 2000);
  EXPECT_EQ(PacedTimeoutMs(size_t{INT32_MAX}, 20000), 20000 + INT32_MAX / 64);
  EXPECT_EQ(PacedTimeoutMs(SIZE_MAX, 20000), kInfiniteWait - 1);
  EXPECT_EQ(PacedTimeoutMs(100, kInfiniteWait), kInfiniteWait);
}

// 192 KiB that trickle in over about 1.5 s: beyond a 1 s bound, within the
// 1 s and 3 s a block of that size is given paced.
TEST_F(FramingTest, APacedReadGivesALargeBlockTimeForItsSize) {
  const std::string block(192 * 1024, 'p');
  auto sender = std::async(std::launch::async, [&] {
    const std::string frame = fake::Frame(block);
    for (size_t at = 0; at < frame.size(); at += 16 * 1024) {
      if (!fake::WriteAll(Peer, frame.substr(at, 16 * 1024))) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(120));
    }
    return true;
  });
  std::string content;
  ASSERT_OK(SocketReadPacedStream(Client, content, 1000));
  EXPECT_EQ(content, block);
  EXPECT_TRUE(sender.get());
  // The length itself has the plain bound.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SocketReadPacedStream(Client, content, 300).Code(), ETIMEDOUT);
  EXPECT_LT(ElapsedMs(start), 5000);
  EXPECT_EQ(content, block) << "untouched on failure";
}

TEST_F(FramingTest, ADroppedBlockLeavesTheConnectionInStep) {
  auto sender = std::async(std::launch::async,
                           [&] { return fake::WriteAll(Peer, fake::Frame(std::string(3 << 20, 'x')) + fake::Frame("next")); });
  ASSERT_OK(SocketDropPacedStream(Client, 10000));
  EXPECT_TRUE(sender.get());
  std::string text;
  ASSERT_OK(SocketReadString(Client, text, 10000));
  EXPECT_EQ(text, "next");
  PeerSends(Bytes({0x10, 0, 0, 0}) + "short");
  PeerCloses();
  EXPECT_FALSE(SocketDropPacedStream(Client, 10000));
}
