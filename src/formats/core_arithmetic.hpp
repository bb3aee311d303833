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
// Inline: text slicing asks for it on every record.
inline SliceBounds clamp_slice(Index length, Index start, std::optional<Index> stop)
{
    auto clamp = [length](Index bound) {
        if (bound < 0) {
            bound += length;
        }
        return bound < 0 ? 0 : (bound > length ? length : bound);
    };
    return SliceBounds{clamp(start), stop ? clamp(*stop) : length};
}

// Whether a splice position is small enough for the native splice; larger
// ones are left to Python ints.
bool is_native_position(long long value);

// line = line[:start + 11] + repstr + line[start + 11 + lenth:], for
// positions that pass is_native_position.
void splice_ascii(long long start, long long lenth, std::string& line, std::string_view repstr);

// -1 when c is not a hex digit.
constexpr int hex_digit_value(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Every character's value as a hex digit, -1 for the rest: long texts are
// read by table.
struct HexDigitTable {
    std::int8_t value[256] = {};
    constexpr HexDigitTable()
    {
        for (int c = 0; c < 256; ++c) {
            value[c] = static_cast<std::int8_t>(hex_digit_value(static_cast<char>(c)));
        }
    }
};
inline constexpr HexDigitTable digit_table{};

// Hex digits to bytes, two digits a byte, high nibble first; `out` takes
// digits.size() / 2 bytes (the count must be even). False when a character
// is not a hex digit. Inline: every record's header and data come here.
inline bool decode_hex_pairs(std::string_view digits, std::uint8_t* out)
{
    const auto* text = reinterpret_cast<const unsigned char*>(digits.data());
    int invalid = 0;
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        int high = digit_table.value[text[i]];
        int low = digit_table.value[text[i + 1]];
        invalid |= high | low;  // negative once any digit is not hex
        out[i / 2] = static_cast<std::uint8_t>(((high & 15) << 4) | (low & 15));
    }
    return invalid >= 0;
}

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
