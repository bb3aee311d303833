// Hex text of numbers as the conversion writes it: the builtin hex() of the
// value less its "0x", upper-cased, with a "0" in front of a single digit
// where a field takes two.
#pragma once

#include "formats/text.hpp"

namespace rowmint {

Text two_digit_hex_text(long long value);

// A new row line: its prefix and 512 zero digits, no checksum yet.
Text empty_row_line(int row);

}  // namespace rowmint
