// SPDX-License-Identifier: Apache-2.0
#include "Monitor/T_ReportReader.h"

#include <algorithm>

#include "Common/CommandText.h"

namespace {

constexpr size_t kNameItem = 2;
constexpr size_t kStatusItem = 7;
// Shown between the start and the end of a status text too long to show.
constexpr std::string_view kCut = "\xe2\x80\xa6";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void TReportReader::TText::Reset(size_t headLimit, size_t tailLimit) {
  HeadLimit = headLimit;
  TailLimit = tailLimit;
  Head.clear();
  Tail.clear();
  Total = 0;
  Escape = 0;
  BadEscape.clear();
  Sent = 0;
  SentStart.clear();
}

void TReportReader::TText::Put(char c) {
  ++Total;
  if (Head.size() < HeadLimit) {
    Head += c;
    return;
  }
  if (TailLimit == 0) return;
  Tail += c;
  // Trimmed now and then rather than at every byte.
  if (Tail.size() >= 2 * TailLimit) Tail.erase(0, Tail.size() - TailLimit);
}

void TReportReader::TText::Add(char c) {
  if (!BadEscape.empty()) return;
  // The start as sent: a malformed escape there is shown where it is.
  if (++Sent <= kSentKept) SentStart += c;
  if (Escape == 0) {
    if (c == '%') {
      Escape = 1;
      return;
    }
    Put(c == '+' ? ' ' : c);
    return;
  }
  if (Escape == 1 && c == '%') {
    Escape = 0;
    Put('%');
    return;
  }
  const int value = HexValue(c);
  if (Escape == 1 && value < 0) {
    // Malformed: its second byte goes with it to say how.
    Escape = 3;
    PendingChar = c;
    return;
  }
  if (value < 0 || Escape == 3) {
    // The escape as sent: DecodeArgument tells what is wrong with it.
    BadEscape = Sent <= kSentKept ? SentStart : std::string("%") + PendingChar + c;
    return;
  }
  if (Escape == 1) {
    Escape = 2;
    Pending = value;
    PendingChar = c;
    return;
  }
  Escape = 0;
  Put(static_cast<char>(Pending * 16 + value));
}

std::string TReportReader::TText::Encoded() const {
  if (!BadEscape.empty()) return BadEscape;
  // The text ended within an escape.
  if (Escape != 0) return Sent <= kSentKept ? SentStart : Escape == 1 ? std::string("%") : std::string("%") + PendingChar;
  std::string kept = Head;
  const size_t tail = std::min(Tail.size(), TailLimit);
  if (Total > Head.size() + tail) kept += kCut;
  kept.append(Tail, Tail.size() - tail, tail);
  return EncodeArgument(kept);
}

void TReportReader::StartFrame() {
  Item = 0;
  for (size_t i = 0; i < kItems; ++i) {
    Short[i].clear();
    ShortCut[i] = false;
  }
  Name.Reset(kMaxNameBytes, 0);
  Status.Reset(kShownStatusBytes, kShownTailBytes);
}

void TReportReader::TakeByte(char c) {
  if (c == ' ') {
    ++Item;
    return;
  }
  if (Item == kNameItem) return Name.Add(c);
  if (Item == kStatusItem) return Status.Add(c);
  if (Item >= kItems) return;
  if (Short[Item].size() < kMaxItemBytes) Short[Item] += c;
  else ShortCut[Item] = true;
}

TReportReader::EStep TReportReader::Take(std::string_view data, size_t& used) {
  used = 0;
  while (HeaderBytes < sizeof Header) {
    if (used == data.size()) return EStep::NeedMore;
    Header[HeaderBytes++] = static_cast<unsigned char>(data[used++]);
    if (HeaderBytes < sizeof Header) continue;
    const uint32_t bits = uint32_t{Header[0]} | uint32_t{Header[1]} << 8 | uint32_t{Header[2]} << 16 |
                          uint32_t{Header[3]} << 24;
    Length = static_cast<int32_t>(bits);
    if (Length < 0 || Length > MaxFrameBytes) return EStep::TooLong;
    Left = Length;
    StartFrame();
  }
  const size_t take = static_cast<size_t>(std::min<int64_t>(Left, static_cast<int64_t>(data.size() - used)));
  for (size_t i = 0; i < take; ++i) TakeByte(data[used + i]);
  used += take;
  Left -= static_cast<int64_t>(take);
  if (Left > 0) return EStep::NeedMore;
  HeaderBytes = 0;
  return EStep::Frame;
}

std::optional<TAgentReport> TReportReader::Report(std::string& error) const {
  // The frame as it would read with only the kept parts: the report's own
  // decoder then judges it, and says why it is not one.
  std::string text;
  for (size_t i = 0; i <= std::min(Item, kItems - 1); ++i) {
    if (i > 0) text += ' ';
    if (i == kNameItem) text += Name.Encoded();
    else if (i == kStatusItem) text += Status.Encoded();
    else text += Short[i] + (ShortCut[i] ? "#" : "");  // too long to be a number or the command
  }
  if (Item >= kItems) text += " more";
  return ParseStatusReport(text, error);
}
