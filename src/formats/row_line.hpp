// Layout of the row file: a fixed header line, then one row line per flash
// row: ":" 00 (array ID), the row number (4 digits, big-endian), the data
// length 0100, 512 data digits (256 bytes) and a checksum byte. The last row
// line carries the metadata record in its last 64 data bytes.
#pragma once

#include "formats/hooks.hpp"
#include "formats/text.hpp"

#include <string>

namespace rowmint {

inline constexpr const char* header_line = "256A11B50000";

inline constexpr int row_size = 256;          // data bytes per flash row
inline constexpr int row_digits = 2 * row_size;
inline constexpr int flash_rows = 0x200;      // two 64 KB segments
inline constexpr int first_image_row = 0x22;  // rows below 0x2200 belong to the bootloader
inline constexpr int last_flash_row = flash_rows - 1;

// The metadata record sits at data byte 192, the start of the last 64 bytes,
// which the application checksum leaves out.
inline constexpr int metadata_offset_digits = 384;
inline constexpr int metadata_digits = 24;
inline constexpr int metadata_area_bytes = 64;
inline constexpr const char* metadata_fixed_bytes = "112200002100000000";

// Upper-case hex digits of a value, with zeros in front up to `width`
// digits ("0" for 0 at width 1).
std::string hex_digits(long long value, size_t width = 1);

// The checksum rule of row lines and of the application: the byte that
// brings the sum to a multiple of 256.
int checksum_of_sum(long long sum);

// ":000" + segment digit + row low byte + "0100"; the data field follows.
std::string row_prefix(int row);

// Hex text of numbers as the conversion writes it: the builtin hex() of the
// value less its "0x", upper-cased, with a "0" in front of a single digit
// where a field takes two. Through a hex() that a caller put in the builtins
// when there is one.
Text two_digit_hex_text(long long value, const Hooks& hooks);

// A new row line: its prefix and 512 zero digits, no checksum yet.
Text empty_row_line(int row, const Hooks& hooks);

}  // namespace rowmint
