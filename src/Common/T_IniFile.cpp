// SPDX-License-Identifier: Apache-2.0
#include "Common/T_IniFile.h"

#include <strings.h>

namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view Trim(std::string_view text) {
  size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool IsComment(std::string_view trimmed) { return !trimmed.empty() && (trimmed[0] == ';' || trimmed[0] == '#'); }

// The name of a section header line ("[ name ]"), or none for any other line.
std::optional<std::string_view> SectionName(std::string_view content) {
  std::string_view trimmed = Trim(content);
  if (trimmed.empty() || trimmed.front() != '[') return std::nullopt;
  size_t close = trimmed.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(trimmed.substr(1, close - 1));
}

// The key of a "key = value" line, or none for any other line.
std::optional<std::string_view> KeyName(std::string_view content) {
  std::string_view trimmed = Trim(content);
  if (trimmed.empty() || IsComment(trimmed) || trimmed.front() == '[') return std::nullopt;
  size_t equals = trimmed.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  return Trim(trimmed.substr(0, equals));
}

std::string ValueOf(std::string_view content) {
  std::string_view value = Trim(content.substr(content.find('=') + 1));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return std::string(value.substr(0, TIniFile::kMaxValueLength));
}


int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

TIniFile::TIniFile(std::string_view text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t newline = text.find('\n', start);
    TLine line;
    if (newline == std::string_view::npos) {
      line.Content = text.substr(start);
      start = text.size();
    } else {
      line.Content = text.substr(start, newline - start);
      line.Ending = "\n";
      start = newline + 1;
    }
    if (!line.Content.empty() && line.Content.back() == '\r' && !line.Ending.empty()) {
      line.Content.pop_back();
      line.Ending = "\r\n";
    }
    Lines.push_back(std::move(line));
  }
}

std::optional<TIniFile::TPosition> TIniFile::Find(std::string_view section, std::string_view key) const {
  // The first section of that name that holds the key wins; without the key
  // anywhere, the position names the first section of that name.
  std::optional<TPosition> found;
  bool inSection = false;
  size_t sectionLine = 0;
  for (size_t i = 0; i < Lines.size(); ++i) {
    if (auto name = SectionName(Lines[i].Content)) {
      inSection = SameName(*name, section);
      if (inSection) {
        sectionLine = i;
        if (!found) found = TPosition{i, std::nullopt};
      }
      continue;
    }
    if (!inSection) continue;
    auto name = KeyName(Lines[i].Content);
    if (name && SameName(*name, key)) return TPosition{sectionLine, i};
  }
  return found;
}

std::optional<std::string> TIniFile::ReadString(std::string_view section, std::string_view key) const {
  auto position = Find(section, key);
  if (!position || !position->KeyLine) return std::nullopt;
  return ValueOf(Lines[*position->KeyLine].Content);
}

std::string TIniFile::LineEnding() const {
  for (const TLine& line : Lines)
    if (!line.Ending.empty()) return line.Ending;
  return "\n";
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  auto position = Find(section, key);
  const std::string ending = LineEnding();
  if (position && position->KeyLine) {
    TLine& line = Lines[*position->KeyLine];
    // Keep the key as the file spells it, with its indentation.
    std::string_view content = line.Content;
    std::string_view prefix = content.substr(0, content.find('='));
    size_t keyEnd = prefix.find_last_not_of(kBlanks);
    line.Content = std::string(prefix.substr(0, keyEnd + 1)) + "=" + std::string(value);
    return;
  }
  TLine keyLine{std::string(key) + "=" + std::string(value), ending};
  if (position) {
    // After the section's last line that is not blank.
    size_t insertAfter = position->SectionLine;
    for (size_t i = position->SectionLine + 1; i < Lines.size() && !SectionName(Lines[i].Content); ++i)
      if (!Trim(Lines[i].Content).empty()) insertAfter = i;
    if (Lines[insertAfter].Ending.empty()) Lines[insertAfter].Ending = ending;
    Lines.insert(Lines.begin() + static_cast<std::ptrdiff_t>(insertAfter) + 1, std::move(keyLine));
    return;
  }
  if (!Lines.empty() && Lines.back().Ending.empty()) Lines.back().Ending = ending;
  Lines.push_back(TLine{"[" + std::string(section) + "]", ending});
  Lines.push_back(std::move(keyLine));
}

std::string TIniFile::Text() const {
  std::string text;
  for (const TLine& line : Lines) text += line.Content + line.Ending;
  return text;
}

std::optional<int32_t> ParseIniInteger(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  bool hex = false;
  if (!text.empty() && text[0] == '$') {
    hex = true;
    text.remove_prefix(1);
  } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    hex = true;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  // Decimal numbers must fit the signed range; hexadecimal ones may use all
  // 32 bits ("$FFFFFFFF" is -1).
  const uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
  uint64_t value = 0;
  for (char c : text) {
    int digit = hex ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (digit < 0) return std::nullopt;
    value = value * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
    if (value > limit) return std::nullopt;
  }
  auto bits = static_cast<uint32_t>(value);
  if (negative) bits = 0u - bits;
  return static_cast<int32_t>(bits);
}
