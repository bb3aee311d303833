// The arithmetic under the hex codec and the splice, kept apart from the
// interpreter (no Python.h here): what could depend on the machine's byte
// order or word size lives in this core, where a plain program checks it on
// any target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace rowmint {

// Py_ssize_t: a signed integer as wide as a pointer, on every platform
// CPython supports (the module checks that the two agree).
using Index = std::ptrdiff_t;

// Length of the row line prefix (":", array ID, row number, data length):
// the splice counts its positions in digits of the data field after it.
inline constexpr Index row_prefix_length = 11;

// Python's clamping of slice bounds for a sequence of the given length.
struct SliceBounds {
    Index start;
    Index stop;
    Index length() const { return stop > start ? stop - start : 0; }
};
SliceBounds clamp_slice(Index length, Index start, std::optional<Index> stop);

// Whether a splice position is small enough for the native splice; larger
// ones are left to Python ints.
bool is_native_position(long long value);

// line = line[:start + 11] + repstr + line[start + 11 + lenth:], for
// positions that pass is_native_position.
void splice_ascii(long long start, long long lenth, std::string& line, std::string_view repstr);

int hex_digit_value(char c);  // -1 when c is not a hex digit

// Hex digits to bytes, two digits a byte, high nibble first; `out` takes
// digits.size() / 2 bytes (the count must be even). False when a character
// is not a hex digit.
bool decode_hex_pairs(std::string_view digits, std::uint8_t* out);

// Sums of the bytes the digits spell: of all of them, and of all but the
// last `tail` bytes.
struct HexByteSums {
    long long all = 0;
    long long without_tail = 0;
    size_t count = 0;
};
// The count of digits must be even; false when a character is not a hex digit.
bool sum_hex_pairs(std::string_view digits, size_t tail, HexByteSums& sums);

}  // namespace rowmint
