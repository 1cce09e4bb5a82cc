// SPDX-License-Identifier: Apache-2.0
#include "Common/CommandText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <locale>

#include "CommandTextSupport.h"

using TItems = std::vector<std::string>;

TEST(EncodeArgument, EscapesEverythingButTheSafeSet) {
  EXPECT_EQ(EncodeArgument("a b,c"), "a+b%2cc");
  EXPECT_EQ(EncodeArgument("\xE9"), "%e9");
  EXPECT_EQ(EncodeArgument("100%"), "100%25");
  EXPECT_EQ(EncodeArgument("AZaz09!$'()*-.@_"), "AZaz09!$'()*-.@_");
  EXPECT_EQ(EncodeArgument("\",+/\\:;=?&#~\t\x7f"), "%22%2c%2b%2f%5c%3a%3b%3d%3f%26%23%7e%09%7f");
  EXPECT_EQ(EncodeArgument(std::string_view("ab\0cd", 5)), "ab");
  EXPECT_EQ(EncodeArgument(""), "");
}

TEST(DecodeArgument, InvertsTheEncoding) {
  EXPECT_EQ(Decoded("a+b%2Cc"), "a b,c");
  EXPECT_EQ(Decoded("a+b%2cc"), "a b,c");
  EXPECT_EQ(Decoded("100%%"), "100%");
  EXPECT_EQ(Decoded("%e9%E9"), "\xE9\xE9");
  EXPECT_EQ(Decoded("plain.dll"), "plain.dll");
  std::string every;
  for (int c = 1; c < 256; ++c) every.push_back(static_cast<char>(c));
  EXPECT_EQ(Decoded(EncodeArgument(every)), every);
}

TEST(DecodeArgument, MalformedEscapesNameTheirPositionAndLeaveTheResultAlone) {
  auto message = [](std::string_view text) {
    std::string decoded = "untouched";
    const TStatus status = DecodeArgument(text, decoded);
    EXPECT_EQ(decoded, status.Ok() ? std::string(text) : "untouched");
    return status.Ok() ? std::string("<no error>") : status.Text();
  };
  EXPECT_EQ(message("ab%4"), "Error decoding URL style (%XX) encoded string at position 3");
  EXPECT_EQ(message("%"), "Error decoding URL style (%XX) encoded string at position 1");
  EXPECT_EQ(message("x%zz"), "Invalid URL encoded character (%zz) at position 2");
  EXPECT_EQ(message("%4g"), "Invalid URL encoded character (%4g) at position 1");
  EXPECT_EQ(message("plain"), "<no error>");
}

TEST(SplitCommandItems, BlanksAndCommasSeparate) {
  EXPECT_EQ(SplitCommandItems("RUN_TASK,12,x y"), (TItems{"RUN_TASK", "12", "x", "y"}));
  EXPECT_EQ(SplitCommandItems("RUN_TASK 12, lib.dll,Proc"), (TItems{"RUN_TASK", "12", "lib.dll", "Proc"}));
  EXPECT_EQ(SplitCommandItems("  KEEP_ALIVE \t "), (TItems{"KEEP_ALIVE"}));
  EXPECT_EQ(SplitCommandItems("a,,b"), (TItems{"a", "", "b"}));
  EXPECT_EQ(SplitCommandItems("a,"), (TItems{"a", ""}));
  EXPECT_EQ(SplitCommandItems("a, "), (TItems{"a"}));  // the comma is not the last byte
  EXPECT_EQ(SplitCommandItems(""), TItems{});
  EXPECT_EQ(SplitCommandItems(" \r\n "), TItems{});
  EXPECT_EQ(SplitCommandItems(std::string_view("a b\0c", 5)), (TItems{"a", "b"}));
}

TEST(SplitCommandItems, QuotedItemsKeepBlanksAndCommas) {
  EXPECT_EQ(SplitCommandItems("\"x, y\",z"), (TItems{"x, y", "z"}));
  EXPECT_EQ(SplitCommandItems("\"say \"\"hi\"\"\""), (TItems{"say \"hi\""}));
  EXPECT_EQ(SplitCommandItems("a \"open to the end"), (TItems{"a", "open to the end"}));
  EXPECT_EQ(SplitCommandItems("\"\",b"), (TItems{"", "b"}));
}

TEST(SplitCommandItems, StopsAfterTheItemsAskedForWithoutChangingThem) {
  const std::string command = "RUN_TASK,7,\"lib, one.so\" Proc,extra,more";
  const TItems all = SplitCommandItems(command);
  ASSERT_EQ(all.size(), 6u);
  EXPECT_EQ(SplitCommandItems(command, 5), TItems(all.begin(), all.begin() + 5));
  EXPECT_EQ(SplitCommandItems(command, 6), all);
  EXPECT_EQ(SplitCommandItems(command, 60), all);
  // A final comma's empty item counts too.
  EXPECT_EQ(SplitCommandItems("a,b,", 2), (TItems{"a", "b"}));
  EXPECT_EQ(SplitCommandItems("a,b,", 3), (TItems{"a", "b", ""}));
  // Millions of commas cost no more than the items asked for.
  EXPECT_EQ(SplitCommandItems(std::string(16 << 20, ','), 5), TItems(5, ""));
}

// A measurement read as garbage (not a number, infinite, or beyond any
// count of units) must still give a plain decimal: the coordinator parses it.
TEST(FormatDecimal, AValueWithoutADecimalIsWrittenAsZero) {
  for (double value : {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e300, -1e300, 1e16, -4.7e18}) {
    EXPECT_EQ(FormatDecimal(value, 3), "0.000") << value;
    EXPECT_EQ(FormatDecimal(value, 0), value == 1e16 ? "10000000000000000" : "0") << value;
  }
  EXPECT_EQ(FormatDecimal(-2.5e15, 3), "-2500000000000000.000");  // still within the range
}

TEST(FormatDecimal, FixedDigitsAndAFullStopWhateverTheLocale) {
  EXPECT_EQ(FormatDecimal(2.4f, 3), "2.400");
  EXPECT_EQ(FormatDecimal(3.2f, 3), "3.200");
  EXPECT_EQ(FormatDecimal(0.0, 3), "0.000");
  EXPECT_EQ(FormatDecimal(0.04, 1), "0.0");
  EXPECT_EQ(FormatDecimal(0.25f, 1), "0.3");  // halves away from zero
  EXPECT_EQ(FormatDecimal(2.328f, 1), "2.3");
  EXPECT_EQ(FormatDecimal(12.96, 1), "13.0");
  EXPECT_EQ(FormatDecimal(7.0, 0), "7");

  // Comma-decimal number rules installed process-wide change nothing.
  struct TCommaDecimal : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
  };
  std::locale previous = std::locale::global(std::locale(std::locale::classic(), new TCommaDecimal));
  EXPECT_EQ(FormatDecimal(2.4f, 3), "2.400");
  std::locale::global(previous);
}
