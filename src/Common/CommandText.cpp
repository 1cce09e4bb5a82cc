// SPDX-License-Identifier: Apache-2.0
#include "Common/CommandText.h"

#include <charconv>
#include <cmath>

namespace {

bool KeptAsIs(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '!': case '$': case '\'': case '(': case ')':
    case '*': case '-': case '.': case '@': case '_':
      return true;
    default:
      return false;
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The text up to (not including) its first zero byte.
std::string_view UpToZero(std::string_view text) { return text.substr(0, text.find('\0')); }

bool IsBlank(unsigned char c) { return c >= 1 && c <= 32; }

}  // namespace

std::string EncodeArgument(std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  text = UpToZero(text);
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (KeptAsIs(c)) {
      out.push_back(ch);
    } else if (c == ' ') {
      out.push_back('+');
    } else {
      out.push_back('%');
      out.push_back(kDigits[c >> 4]);
      out.push_back(kDigits[c & 15]);
    }
  }
  return out;
}

TStatus DecodeArgument(std::string_view text, std::string& decoded) {
  text = UpToZero(text);
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c != '%') {
      out.push_back(c);
    } else if (i + 1 < text.size() && text[i + 1] == '%') {
      out.push_back('%');
      ++i;
    } else if (i + 2 >= text.size()) {
      return TStatus::Failure("", "Error decoding URL style (%XX) encoded string at position " + std::to_string(i + 1));
    } else {
      int high = HexValue(text[i + 1]);
      int low = HexValue(text[i + 2]);
      if (high < 0 || low < 0)
        return TStatus::Failure("", "Invalid URL encoded character (" + std::string(text.substr(i, 3)) +
                                        ") at position " + std::to_string(i + 1));
      out.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    }
  }
  decoded = std::move(out);
  return {};
}

std::vector<std::string> SplitCommandItems(std::string_view text, size_t maxItems) {
  text = UpToZero(text);
  std::vector<std::string> items;
  size_t i = 0;
  auto skipBlanks = [&] {
    while (i < text.size() && IsBlank(static_cast<unsigned char>(text[i]))) ++i;
  };
  skipBlanks();
  while (i < text.size() && items.size() < maxItems) {
    std::string item;
    if (text[i] == '"') {
      // Quoted: up to the next single mark; a doubled mark stands for one.
      ++i;
      while (i < text.size()) {
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            item.push_back('"');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item.push_back(text[i++]);
      }
    } else {
      size_t start = i;
      while (i < text.size() && static_cast<unsigned char>(text[i]) > 32 && text[i] != ',') ++i;
      item.assign(text.substr(start, i - start));
    }
    items.push_back(std::move(item));
    skipBlanks();
    if (i < text.size() && text[i] == ',') {
      if (i + 1 == text.size() && items.size() < maxItems) items.emplace_back();
      ++i;
      skipBlanks();
    }
  }
  return items;
}

std::string FormatDecimal(double value, int decimals) {
  double scale = std::pow(10.0, decimals);
  // Beyond +-2^62 units (and for a value that is not a number) there is no
  // decimal the fields can carry: such a measurement is written as zero.
  constexpr double kLimit = 4611686018427387904.0;
  const double scaled = value * scale;
  long long units = std::isfinite(scaled) && std::fabs(scaled) < kLimit ? std::llround(scaled) : 0;
  std::string text;
  if (units < 0) {
    text.push_back('-');
    units = -units;
  }
  char digits[32];
  auto [end, error] = std::to_chars(digits, digits + sizeof digits, units);
  std::string number(digits, end);
  if (number.size() <= static_cast<size_t>(decimals)) number.insert(0, decimals + 1 - number.size(), '0');
  text += number.substr(0, number.size() - decimals);
  if (decimals > 0) text += "." + number.substr(number.size() - decimals);
  return text;
}
