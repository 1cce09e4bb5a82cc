// SPDX-License-Identifier: Apache-2.0
#include "Common/T_DebugLog.h"

#include <charconv>

namespace {

void AppendDecimal(std::string& out, const TLogArg& arg, bool asUnsigned) {
  char digits[24];
  std::to_chars_result result;
  if (asUnsigned) {
    // A negative value prints as the unsigned number of its own width.
    uint64_t value = arg.Integer;
    if (arg.Bits < 64) value &= (uint64_t{1} << arg.Bits) - 1;
    result = std::to_chars(digits, digits + sizeof digits, value);
  } else if (arg.Kind == TLogArg::TKind::Signed) {
    result = std::to_chars(digits, digits + sizeof digits, static_cast<int64_t>(arg.Integer));
  } else {
    result = std::to_chars(digits, digits + sizeof digits, arg.Integer);
  }
  out.append(digits, result.ptr);
}

}  // namespace

std::optional<std::string> TDebugLog::Format(std::string_view format, std::span<const TLogArg> args) {
  if (args.empty()) return std::string(format);
  std::string out;
  out.reserve(format.size() + 32);
  size_t next = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%') {
      out.push_back(c);
      continue;
    }
    if (++i == format.size()) return std::nullopt;
    char placeholder = format[i];
    if (placeholder == '%') {
      out.push_back('%');
      continue;
    }
    if (next == args.size()) return std::nullopt;
    const TLogArg& arg = args[next++];
    switch (placeholder) {
      case 's':
        if (arg.Kind != TLogArg::TKind::Text) return std::nullopt;
        if (arg.FromOutside) {
          AppendUserText(out, arg.Text);
        } else {
          out.append(arg.Text);
        }
        break;
      case 'd':
      case 'u':
        if (arg.Kind == TLogArg::TKind::Text) return std::nullopt;
        AppendDecimal(out, arg, placeholder == 'u');
        break;
      default:
        return std::nullopt;
    }
  }
  return out;
}

void TDebugLog::AppendUserText(std::string& out, std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const std::string_view shown = text.substr(0, kUserTextLimit);
  for (char ch : shown) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 32 && c != 127) {
      out.push_back(ch);
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += "\\x";
      out.push_back(kDigits[c >> 4]);
      out.push_back(kDigits[c & 15]);
    }
  }
  if (shown.size() < text.size()) out += "...[cut, " + std::to_string(text.size()) + " bytes in all]";
}

void TDebugLog::WriteLine(std::string_view format, std::span<const TLogArg> args) const {
  try {
    std::optional<std::string> line = Format(format, args);
    if (line) {
      line->push_back('\r');
      Sink.Write(*line);
      return;
    }
  } catch (...) {
    // Out of memory while formatting: report it like any other failure.
  }
  Sink.Write(kFormatError);
  Sink.Beep();
}
