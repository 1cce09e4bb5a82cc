// SPDX-License-Identifier: Apache-2.0
// TDebugLog: the agent's debug log. Each line is a message of the form
// "PREFIX: text" with "%s", "%d" and "%u" placeholders filled from typed
// arguments, ended by one carriage return and handed whole to the debug sink.
// Off unless enabled, and then it returns before formatting anything. A line
// whose placeholders do not fit its arguments is replaced by the
// "DEBUGWRITE ERROR: unable to format string" line and a beep; the caller
// never sees an error. Immutable after construction; any thread may write.
//
// A text that came from outside the agent (a command, a file name, a task
// library's message) goes in as UserText(text): its control bytes are
// escaped and it is cut after kUserTextLimit bytes with a note saying so, so
// that it can neither forge whole lines nor copy a huge block into the log.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "Platform/I_DebugSink.h"

// A text from outside the agent, for a "%s" placeholder.
struct TUserText {
  std::string_view Text;
  bool FromOutside = false;  // escaped and cut
};
inline TUserText UserText(std::string_view text) { return TUserText{text}; }

// One argument of a log line: an integer (signed or unsigned, with its width
// in bits) or a text, plain or from outside. Built implicitly from the
// caller's values.
class TLogArg {
 public:
  enum class TKind { Signed, Unsigned, Text };

  template <typename T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
  TLogArg(T value)  // NOLINT(google-explicit-constructor)
      : Kind(std::is_signed_v<T> ? TKind::Signed : TKind::Unsigned),
        Bits(sizeof(T) * 8),
        Integer(static_cast<uint64_t>(value)) {}
  TLogArg(char value) : Kind(TKind::Text), Owned(1, value), Text(Owned) {}  // NOLINT
  TLogArg(const char* value) : Kind(TKind::Text), Text(value != nullptr ? value : "") {}  // NOLINT
  TLogArg(std::string_view value) : Kind(TKind::Text), Text(value) {}  // NOLINT
  TLogArg(const std::string& value) : Kind(TKind::Text), Text(value) {}  // NOLINT
  TLogArg(TUserText value) : Kind(TKind::Text), Text(value.Text), FromOutside(true) {}  // NOLINT
  TLogArg(bool) = delete;
  TLogArg(const TLogArg&) = delete;
  TLogArg& operator=(const TLogArg&) = delete;

  TKind Kind;
  int Bits = 0;
  uint64_t Integer = 0;  // two's complement bits of the value
  std::string Owned;     // the text of a single character
  std::string_view Text;
  bool FromOutside = false;  // escaped and cut
};

class TDebugLog {
 public:
  static constexpr std::string_view kFormatError = "DEBUGWRITE ERROR: unable to format string";
  // How many bytes of a user text a line shows.
  static constexpr size_t kUserTextLimit = 1024;

  TDebugLog(IDebugSink& sink, bool enabled) : Sink(sink), Enabled(enabled) {}

  bool IsEnabled() const { return Enabled; }

  template <typename... TArgs>
  void Write(std::string_view format, const TArgs&... args) const {
    if (!Enabled) return;
    if constexpr (sizeof...(TArgs) == 0) {
      WriteLine(format, {});
    } else {
      const TLogArg list[] = {TLogArg(args)...};
      WriteLine(format, list);
    }
  }

  // The message with its placeholders filled, or none when they do not fit
  // the arguments. With no arguments the format is the message, "%" and all.
  static std::optional<std::string> Format(std::string_view format, std::span<const TLogArg> args);

  // Appends `text` as a line shows a user text: a carriage return, line
  // feed and tab as \r, \n and \t, every other byte below 32 and byte 127 as
  // \xHH; past kUserTextLimit bytes the rest is left off and
  // "...[cut, N bytes in all]" says so. Every other byte as it is.
  static void AppendUserText(std::string& out, std::string_view text);

 private:
  void WriteLine(std::string_view format, std::span<const TLogArg> args) const;

  IDebugSink& Sink;  // borrowed
  const bool Enabled;
};
