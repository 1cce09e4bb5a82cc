// SPDX-License-Identifier: Apache-2.0
#include "Common/T_IniFile.h"

#include <gtest/gtest.h>

TEST(IniFileRead, FindsValuesWithoutRegardToLetterCase) {
  TIniFile ini("[Agent]\nBIND_PORT=4102\n[coordinator]\nbind_port = 4100\n");
  EXPECT_EQ(ini.ReadString("agent", "bind_port"), "4102");
  EXPECT_EQ(ini.ReadString("COORDINATOR", "Bind_Port"), "4100");
}

TEST(IniFileRead, MissingFileSectionOrKeyGivesNothing) {
  EXPECT_FALSE(TIniFile("").ReadString("agent", "bind_port"));
  EXPECT_FALSE(TIniFile("[user]\ndata_port=1\n").ReadString("agent", "data_port"));
  EXPECT_FALSE(TIniFile("[agent]\nbind_ip=1\n").ReadString("agent", "bind_port"));
  // A key outside any section, or in another one, is not the section's key.
  EXPECT_FALSE(TIniFile("bind_port=1\n[agent]\n").ReadString("agent", "bind_port"));
}

TEST(IniFileRead, TrimsBlanksAndOnePairOfQuotes) {
  TIniFile ini(
      "[a]\n"
      "plain =  10.0.0.1  \n"
      "double=\"10.0.0.2\"\n"
      "single=' spaced '\n"
      "nested=\"\"x\"\"\n"
      "unmatched=\"x'\n"
      "empty=\n"
      "crlf=7\r\n");
  EXPECT_EQ(ini.ReadString("a", "plain"), "10.0.0.1");
  EXPECT_EQ(ini.ReadString("a", "double"), "10.0.0.2");
  EXPECT_EQ(ini.ReadString("a", "single"), " spaced ");
  EXPECT_EQ(ini.ReadString("a", "nested"), "\"x\"");
  EXPECT_EQ(ini.ReadString("a", "unmatched"), "\"x'");
  EXPECT_EQ(ini.ReadString("a", "empty"), "");
  EXPECT_EQ(ini.ReadString("a", "crlf"), "7");
}

TEST(IniFileRead, CutsValuesTo2047Characters) {
  TIniFile ini("[a]\nlong=" + std::string(3000, 'x') + "\n");
  EXPECT_EQ(ini.ReadString("a", "long")->size(), 2047u);
}

TEST(IniFileRead, CommentsAndLinesWithoutEqualsAreNotKeys) {
  TIniFile ini("[a]\n;key=1\n#key=2\nkey\nkey=3\n");
  EXPECT_EQ(ini.ReadString("a", "key"), "3");
}

TEST(IniFileRead, FirstOccurrenceWinsAcrossRepeatedSections) {
  TIniFile ini("[a]\nother=0\n[b]\nkey=9\n[A]\nkey=1\nkey=2\n");
  EXPECT_EQ(ini.ReadString("a", "key"), "1");
}

TEST(IniFileWrite, CreatesSectionAndKeyInEmptyText) {
  TIniFile ini;
  ini.WriteString("coordinator", "coordinator_ip", "10.0.0.5");
  EXPECT_EQ(ini.Text(), "[coordinator]\ncoordinator_ip=10.0.0.5\n");
}

TEST(IniFileWrite, ReplacesOnlyTheKeysLineAndKeepsItsSpelling) {
  const std::string before =
      "; kelvra agent\n"
      "[Agent]\n"
      "bind_port=4102\n"
      "\n"
      "[COORDINATOR]\n"
      "  Coordinator_IP = 10.0.0.1\n"
      "bind_port=4100   ; status port\n"
      "[user]\n"
      "data_port=4103";
  TIniFile ini(before);
  ini.WriteString("coordinator", "coordinator_ip", "10.0.0.9");
  std::string expected = before;
  expected.replace(expected.find("  Coordinator_IP = 10.0.0.1"), 27, "  Coordinator_IP=10.0.0.9");
  EXPECT_EQ(ini.Text(), expected);
}

TEST(IniFileWrite, AddsKeyAtTheEndOfAnExistingSection) {
  TIniFile ini("[coordinator]\nbind_port=4100\n\n[agent]\nuseHT=1\n");
  ini.WriteString("coordinator", "coordinator_ip", "10.0.0.9");
  EXPECT_EQ(ini.Text(), "[coordinator]\nbind_port=4100\ncoordinator_ip=10.0.0.9\n\n[agent]\nuseHT=1\n");
}

TEST(IniFileWrite, AddsSectionAfterTextWithoutFinalLineEnd) {
  TIniFile ini("[agent]\r\nuseHT=1");
  ini.WriteString("coordinator", "coordinator_ip", "1.2.3.4");
  EXPECT_EQ(ini.Text(), "[agent]\r\nuseHT=1\r\n[coordinator]\r\ncoordinator_ip=1.2.3.4\r\n");
}

TEST(IniFileWrite, TextRoundTripsUntouched) {
  const std::string text = "\xEF\xBB\xBF# odd file\r\n[a]\nk=v\r\n\n\n  [ b ]  \nx = \"y\"";
  EXPECT_EQ(TIniFile(text).Text(), text);
}

TEST(IniFileSyntax, Integers) {
  EXPECT_EQ(ParseIniInteger("4102"), 4102);
  EXPECT_EQ(ParseIniInteger("-17"), -17);
  EXPECT_EQ(ParseIniInteger("+17"), 17);
  EXPECT_EQ(ParseIniInteger("0x1007"), 4103);
  EXPECT_EQ(ParseIniInteger("0X1f"), 31);
  EXPECT_EQ(ParseIniInteger("$1007"), 4103);
  EXPECT_EQ(ParseIniInteger("$FFFFFFFF"), -1);
  EXPECT_EQ(ParseIniInteger("-$10"), -16);
  EXPECT_EQ(ParseIniInteger("2147483647"), 2147483647);
  EXPECT_EQ(ParseIniInteger("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(ParseIniInteger("007"), 7);
  for (const char* bad : {"", "0x", "$", "-", "yes", "true", "12a", "1 2", "0x1G", "2147483648",
                          "-2147483649", "$100000000", "1.5", "x10"})
    EXPECT_FALSE(ParseIniInteger(bad)) << bad;
}
