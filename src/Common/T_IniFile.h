// SPDX-License-Identifier: Apache-2.0
// TIniFile: the text of a settings file, read and edited with the profile
// rules the agent's settings follow. Section and key names compare without
// regard to letter case; values are trimmed of blanks and of one pair of
// enclosing quotes and cut to 2047 characters. An edit changes only the line
// it must: every other line, comment, blank line and line end is kept byte
// for byte. A value type: not shared between threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TIniFile {
 public:
  static constexpr size_t kMaxValueLength = 2047;

  TIniFile() = default;
  explicit TIniFile(std::string_view text);

  // The value of `key` in `section`; none when the section or key is missing.
  std::optional<std::string> ReadString(std::string_view section, std::string_view key) const;

  // Sets `key` in `section` to `value`: replaces the existing line, or adds
  // the key at the end of the section, or adds the section at the end.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);

  // The whole text, as it would be written to the file.
  std::string Text() const;

 private:
  struct TLine {
    std::string Content;  // without the line end
    std::string Ending;   // "\n", "\r\n" or "" on a last line without one
  };
  struct TPosition {
    size_t SectionLine;       // the line of the section's header
    std::optional<size_t> KeyLine;
  };

  std::optional<TPosition> Find(std::string_view section, std::string_view key) const;
  std::string LineEnding() const;

  std::vector<TLine> Lines;
};

// The integer syntax of a settings file: optional sign, then decimal digits,
// or hexadecimal after "$" or "0x"/"0X"; a signed 32-bit result
// (hexadecimal may use all 32 bits). None when the text is not a number.
std::optional<int32_t> ParseIniInteger(std::string_view text);
