// SPDX-License-Identifier: Apache-2.0
// TReportReader: reads an agent's status connection as its bytes arrive, one
// length-prefixed UPDATE_STATUS frame after another, and keeps of each frame
// only what the views show: its numbers, the computer name up to
// kMaxNameBytes, and the status text up to kShownStatusBytes from its start
// and kShownTailBytes from its end (" [suspended, N]" comes last), with its
// whole length. What it holds is bounded whatever the frame's size, so a
// report of any size an agent sends is taken; a frame that announces more
// than the reader's bound is refused before any of it is read.
//
// A value of one connection; one thread uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Monitor/AgentReport.h"

class TReportReader {
 public:
  static constexpr size_t kMaxNameBytes = 256;
  static constexpr size_t kShownStatusBytes = 512;
  static constexpr size_t kShownTailBytes = 64;

  enum class EStep {
    NeedMore,  // every byte given was taken; the frame goes on
    Frame,     // a frame ended: Report() decodes it
    TooLong,   // the frame announced more than the bound (or a negative length)
  };

  explicit TReportReader(int32_t maxFrameBytes) : MaxFrameBytes(maxFrameBytes) {}

  // Takes bytes from the start of `data` up to the end of a frame at most;
  // `used` says how many. After TooLong the connection is unfit for framing.
  EStep Take(std::string_view data, size_t& used);

  // The frame that just ended, decoded; nothing (and `error` says why, as
  // ParseStatusReport does) when it is not a well-formed report. A status
  // text longer than shown is its start, "…", and its end.
  std::optional<TAgentReport> Report(std::string& error) const;
  // Bytes of the last frame's status text, decoded, before it was cut.
  size_t StatusBytes() const { return Status.Total; }
  // The length the frame being read announced (for TooLong).
  int64_t Announced() const { return Length; }

 private:
  // An encoded text item decoded as it streams ("+" a blank, "%XY" a byte):
  // its start and end kept, its length counted.
  struct TText {
    size_t HeadLimit = 0;
    size_t TailLimit = 0;
    std::string Head;
    std::string Tail;
    size_t Total = 0;
    int Escape = 0;         // 0: none; 1: after "%"; 2: after "%X"; 3: after a malformed "%x"
    int Pending = 0;        // X's value, after "%X"
    char PendingChar = 0;   // X as sent
    std::string BadEscape;  // the first malformed escape, as sent
    size_t Sent = 0;        // bytes of the item as sent
    std::string SentStart;  // its first kSentKept bytes
    static constexpr size_t kSentKept = 1024;
    void Reset(size_t headLimit, size_t tailLimit);
    void Add(char c);
    void Put(char c);
    // The item as the frame would have carried its kept part.
    std::string Encoded() const;
  };
  static constexpr size_t kMaxItemBytes = 32;
  static constexpr size_t kItems = 10;

  void StartFrame();
  void TakeByte(char c);
  void StartItem();

  const int32_t MaxFrameBytes;
  unsigned char Header[4] = {};
  size_t HeaderBytes = 0;
  int64_t Length = 0;
  int64_t Left = 0;
  // The frame being read: its items so far, the short ones as sent, the
  // texts decoded.
  size_t Item = 0;
  std::string Short[kItems];
  bool ShortCut[kItems] = {};
  TText Name;
  TText Status;
};
