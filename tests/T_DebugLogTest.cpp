// SPDX-License-Identifier: Apache-2.0
#include "Common/T_DebugLog.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

TEST(DebugLog, OffWritesNothing) {
  TRecordingSink sink;
  TDebugLog log(sink, false);
  log.Write("AGENT: %d", 1);
  log.Write("AGENT: %d", "mismatch");
  EXPECT_TRUE(sink.Taken().empty());
  EXPECT_EQ(sink.Beeps, 0);
}

TEST(DebugLog, LineEndsInOneCarriageReturn) {
  TRecordingSink sink;
  TDebugLog log(sink, true);
  log.Write("AGENTLOBBYTHREAD: Exit");
  log.Write("POOLTHREAD: Task %u from %s, result %d", 17u, std::string("10.0.0.7"), -3);
  EXPECT_EQ(sink.Taken(), (std::vector<std::string>{"AGENTLOBBYTHREAD: Exit\r",
                                                    "POOLTHREAD: Task 17 from 10.0.0.7, result -3\r"}));
}

TEST(DebugLog, NoArgumentsWritesTheFormatLiterally) {
  TRecordingSink sink;
  TDebugLog(sink, true).Write("100% %s %d");
  EXPECT_EQ(sink.Taken(), std::vector<std::string>{"100% %s %d\r"});
}

TEST(DebugLog, MismatchWritesTheErrorLineAndBeeps) {
  TRecordingSink sink;
  TDebugLog log(sink, true);
  log.Write("AGENT: %d", "text");       // text where a number is expected
  log.Write("AGENT: %s", 5);            // number where a text is expected
  log.Write("AGENT: %s %s", "one");     // missing argument
  log.Write("AGENT: %x", 5);            // unknown placeholder
  log.Write("AGENT: 50%", 5);           // placeholder cut off
  EXPECT_EQ(sink.Taken(), std::vector<std::string>(5, "DEBUGWRITE ERROR: unable to format string"));
  EXPECT_EQ(sink.Beeps, 5);
}

TEST(DebugLog, FormatsIntegersOfEveryWidth) {
  auto format = [](std::string_view text, const auto& value) {
    const TLogArg args[] = {TLogArg(value)};
    return TDebugLog::Format(text, args).value_or("<error>");
  };
  EXPECT_EQ(format("%d", -2147483647 - 1), "-2147483648");
  EXPECT_EQ(format("%u", 4294967295u), "4294967295");
  EXPECT_EQ(format("%u", -1), "4294967295");                  // 32-bit value, unsigned view
  EXPECT_EQ(format("%u", int64_t{-1}), "18446744073709551615");
  EXPECT_EQ(format("%d", uint64_t{1} << 63), "9223372036854775808");
  EXPECT_EQ(format("%d", short{-5}), "-5");
  EXPECT_EQ(format("%u", short{-1}), "65535");
  EXPECT_EQ(format("%s", 'c'), "c");
  EXPECT_EQ(format("%s", static_cast<const char*>(nullptr)), "");
  EXPECT_EQ(format("%d%%", 50), "50%");
}

TEST(DebugLog, ExtraArgumentsAreIgnored) {
  TRecordingSink sink;
  TDebugLog(sink, true).Write("AGENT: %d", 1, 2, "three");
  EXPECT_EQ(sink.Taken(), std::vector<std::string>{"AGENT: 1\r"});
}

TEST(DebugLog, UserTextsCannotForgeLinesAndAreCut) {
  TRecordingSink sink;
  TDebugLog log(sink, true);
  const std::string name = "lib\r\nAGENTLOBBYTHREAD: Exit\r\n\t\x01\x1b[2J\x7f\\x.so";
  log.Write("FILECACHE: File %s reused from cache.", UserText(name));
  // The same text as a plain argument is the agent's own and goes as it is.
  log.Write("AGENT: %s", std::string("as is"));
  const std::string huge(32 << 20, 'a');
  log.Write("AGENTLOBBYTHREAD: command.itemsCount=0!!! s=\"%s\"", UserText(huge));
  log.Write("POOLTHREAD: %s", UserText(std::string(TDebugLog::kUserTextLimit, 'b')));
  const std::vector<std::string> lines = sink.Taken();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0],
            "FILECACHE: File lib\\r\\nAGENTLOBBYTHREAD: Exit\\r\\n\\t\\x01\\x1b[2J\\x7f\\x.so reused from cache.\r");
  EXPECT_EQ(lines[1], "AGENT: as is\r");
  EXPECT_EQ(lines[2], "AGENTLOBBYTHREAD: command.itemsCount=0!!! s=\"" + std::string(TDebugLog::kUserTextLimit, 'a') +
                          "...[cut, 33554432 bytes in all]\"\r");
  // Exactly the limit is not cut.
  EXPECT_EQ(lines[3], "POOLTHREAD: " + std::string(TDebugLog::kUserTextLimit, 'b') + "\r");
}
