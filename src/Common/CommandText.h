// SPDX-License-Identifier: Apache-2.0
// Command texts on the wire: URL-style escaping of free-text arguments, and
// the comma-text rule that splits a received command (or a list of file
// names) into items. Plain functions without state; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/T_Status.h"

// Escapes `text` (up to its end or a zero byte) so that it holds no blank,
// comma, quotation mark, control byte or byte above 127: letters, digits and
// !$'()*-.@_ stay, a blank becomes "+", every other byte "%xx" (lower-case).
std::string EncodeArgument(std::string_view text);

// The inverse of EncodeArgument: "+" is a blank, "%%" one "%", "%XY" the
// byte of hexadecimal XY (either case), into `decoded`. A malformed escape
// fails, its position in the reason ("Invalid URL encoded character (%zz)
// at position 4", no context), and `decoded` is left as it was.
TStatus DecodeArgument(std::string_view text, std::string& decoded);

// Splits `text` into items: blanks (bytes 1 to 32) and commas separate
// items, an item in double quotation marks keeps its blanks and commas ("" in
// it is one mark), two commas give an empty item, a final comma a last empty
// item. Stops at a zero byte, and after `maxItems` items: the rest of the
// text is not looked at, so a reader that takes fewer than maxItems items
// still learns that there were more, without paying for all of them.
std::vector<std::string> SplitCommandItems(std::string_view text, size_t maxItems = SIZE_MAX);

// `value` with exactly `decimals` digits after a full stop and at least one
// before it, rounded to the nearest last digit (halves away from zero),
// whatever the process locale: "0.000" gives 2.400 for 2.4. A value that
// is not a number, or too large in size for 2^62 units of the last digit,
// is written as zero.
std::string FormatDecimal(double value, int decimals);
