// SPDX-License-Identifier: Apache-2.0
// TLineReader: lines of a pipe as they come, a bounded wait for more that a
// wake descriptor cuts short, and the end of the input.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "Platform/T_LineReader.h"
#include "Platform/T_WakeDescriptor.h"

namespace {

struct LineReaderTest : ::testing::Test {
  LineReaderTest() { EXPECT_EQ(::pipe(Ends), 0); }
  ~LineReaderTest() override {
    ::close(Ends[0]);
    if (Ends[1] >= 0) ::close(Ends[1]);
  }
  void Write(const std::string& text) { ASSERT_EQ(::write(Ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size())); }
  void CloseWriter() {
    ::close(Ends[1]);
    Ends[1] = -1;
  }
  int Ends[2] = {-1, -1};
};

TEST_F(LineReaderTest, GivesEachLineAsItComesThenWaitsThenEnds) {
  TLineReader reader(Ends[0]);
  std::string line;
  Write("first\n\nthird\npart");
  ASSERT_EQ(reader.Next(line, 1000, -1), TLineReader::TNext::Line);
  EXPECT_EQ(line, "first");
  ASSERT_EQ(reader.Next(line, 1000, -1), TLineReader::TNext::Line);
  EXPECT_EQ(line, "");
  ASSERT_EQ(reader.Next(line, 1000, -1), TLineReader::TNext::Line);
  EXPECT_EQ(line, "third");
  // Half a line is not a line while the writer may add to it.
  EXPECT_EQ(reader.Next(line, 50, -1), TLineReader::TNext::Waiting);
  Write("ial\nlast without a feed");
  ASSERT_EQ(reader.Next(line, 1000, -1), TLineReader::TNext::Line);
  EXPECT_EQ(line, "partial");
  CloseWriter();
  ASSERT_EQ(reader.Next(line, 1000, -1), TLineReader::TNext::Line);
  EXPECT_EQ(line, "last without a feed");
  EXPECT_EQ(reader.Next(line, 1000, -1), TLineReader::TNext::End);
  EXPECT_EQ(reader.Next(line, 1000, -1), TLineReader::TNext::End);
  EXPECT_TRUE(reader.Failure().Ok());
}

TEST_F(LineReaderTest, LinesLongerThanABlockAndManyInOneBlockComeWhole) {
  TLineReader reader(Ends[0]);
  const std::string longLine(200000, 'x');
  std::string many;
  for (int i = 0; i < 1000; ++i) many += std::to_string(i) + "\n";
  std::string line;
  // The pipe holds less than the long line: it is written as it is read.
  Write(many);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(reader.Next(line, 1000, -1), TLineReader::TNext::Line);
    ASSERT_EQ(line, std::to_string(i));
  }
  for (size_t at = 0; at < longLine.size(); at += 10000) {
    Write(longLine.substr(at, 10000));
    if (at + 10000 < longLine.size()) {
      ASSERT_EQ(reader.Next(line, 0, -1), TLineReader::TNext::Waiting);
    }
  }
  Write("\n");
  ASSERT_EQ(reader.Next(line, 1000, -1), TLineReader::TNext::Line);
  EXPECT_EQ(line, longLine);
}

TEST_F(LineReaderTest, AWakeDescriptorEndsTheWaitAtOnce) {
  TLineReader reader(Ends[0]);
  TWakeDescriptor wake;
  wake.Signal();
  std::string line;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(reader.Next(line, 60000, wake.Get()), TLineReader::TNext::Waiting);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  // A line already there comes first, woken or not.
  Write("ready\n");
  ASSERT_EQ(reader.Next(line, 60000, wake.Get()), TLineReader::TNext::Line);
  EXPECT_EQ(line, "ready");
}

TEST(LineReader, AClosedDescriptorEndsWithAFailure) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ::close(ends[1]);
  ::close(ends[0]);
  TLineReader reader(ends[0]);
  std::string line;
  EXPECT_EQ(reader.Next(line, 1000, -1), TLineReader::TNext::End);
  EXPECT_FALSE(reader.Failure().Ok());
}

}  // namespace
