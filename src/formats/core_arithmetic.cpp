#include "formats/core_arithmetic.hpp"

#include <cstring>

namespace rowmint {

namespace {

// Beyond this, positions are left to Python ints: start + 11 + lenth of two
// native positions always fits an Index, whatever its width.
constexpr long long position_limit = PTRDIFF_MAX / 4;

}  // namespace

bool is_native_position(long long value) { return value > -position_limit && value < position_limit; }

void splice_ascii(long long start, long long lenth, std::string& line, std::string_view repstr)
{
    Index length = static_cast<Index>(line.size());
    Index cut = static_cast<Index>(start) + row_prefix_length;
    SliceBounds head = clamp_slice(length, 0, cut);
    SliceBounds tail = clamp_slice(length, cut + static_cast<Index>(lenth), std::nullopt);
    if (tail.start >= head.stop) {
        // The usual case: a stretch of the line exchanged where it stands,
        // most often for as many characters (a record's digits).
        size_t at = static_cast<size_t>(head.stop);
        size_t replaced = static_cast<size_t>(tail.start - head.stop);
        if (replaced == repstr.size()) {
            std::memcpy(&line[at], repstr.data(), replaced);
        } else {
            line.replace(at, replaced, repstr);
        }
        return;
    }
    // A negative lenth repeats the characters between the two cuts.
    std::string result = line.substr(0, static_cast<size_t>(head.stop));
    result.append(repstr);
    result.append(line, static_cast<size_t>(tail.start), std::string::npos);
    line = std::move(result);
}

namespace {

// Row lines are swept eight digits at a time, each byte of a 64-bit word
// one digit ("SWAR"): no digit crosses into its neighbour in any step.
constexpr std::uint64_t every_byte(std::uint8_t value) { return 0x0101010101010101ull * value; }

// Eight digits as a word whose lowest byte is the first digit, on hosts of
// either byte order (compilers make this one load where the host is
// little-endian): the lanes below take a pair's first digit from the low
// byte of each 16 bits.
inline std::uint64_t load_little_endian(const unsigned char* text)
{
    auto byte = [text](int i) { return static_cast<std::uint64_t>(text[i]) << (8 * i); };
    return byte(0) | byte(1) | byte(2) | byte(3) | byte(4) | byte(5) | byte(6) | byte(7);
}

// 0x80 in each byte that lies between lo and hi; the bytes must be ASCII.
inline std::uint64_t bytes_within(std::uint64_t word, std::uint8_t lo, std::uint8_t hi)
{
    std::uint64_t at_least_lo = word + every_byte(static_cast<std::uint8_t>(0x80 - lo));
    std::uint64_t above_hi = word + every_byte(static_cast<std::uint8_t>(0x7F - hi));
    return at_least_lo & ~above_hi & every_byte(0x80);
}

// Whether all eight bytes are hex digits.
inline bool all_hex_digits(std::uint64_t word)
{
    if ((word & every_byte(0x80)) != 0) {
        return false;
    }
    std::uint64_t digits = bytes_within(word, '0', '9');
    std::uint64_t letters = bytes_within(word | every_byte(0x20), 'a', 'f') & ~digits;
    // Bytes 0x10-0x19 read as digits once 0x20 is set: letters are only
    // taken from bytes that have bit 6 set.
    letters &= (word << 1) & every_byte(0x80);
    return (digits | letters) == every_byte(0x80);
}

long long lane_sum(std::uint64_t lanes)
{
    return static_cast<long long>((lanes & 0xFFFF) + ((lanes >> 16) & 0xFFFF) + ((lanes >> 32) & 0xFFFF) +
                                  (lanes >> 48));
}

// A 16-bit lane gains at most 15 a step: folded into the total every 4096
// steps (32768 digits), it never overflows, whatever the text's length.
constexpr size_t steps_between_folds = 4096;

long long sum_pairs(const unsigned char* text, size_t count, unsigned& invalid)
{
    constexpr std::uint64_t first_of_pair = 0x00FF00FF00FF00FFull;
    std::uint64_t high_lanes = 0;  // four 16-bit running sums each
    std::uint64_t low_lanes = 0;
    long long total = 0;
    size_t chars = 2 * count;
    size_t i = 0;
    for (size_t steps = 1; i + 8 <= chars; i += 8, ++steps) {
        std::uint64_t word = load_little_endian(text + i);
        if (!all_hex_digits(word)) {
            invalid = 1;
        }
        std::uint64_t nibbles = (word & every_byte(0x0F)) + 9 * ((word >> 6) & every_byte(0x01));
        high_lanes += nibbles & first_of_pair;
        low_lanes += (nibbles >> 8) & first_of_pair;
        if (steps % steps_between_folds == 0) {
            total += 16 * lane_sum(high_lanes) + lane_sum(low_lanes);
            high_lanes = low_lanes = 0;
        }
    }
    total += 16 * lane_sum(high_lanes) + lane_sum(low_lanes);
    for (; i < chars; i += 2) {
        int high = digit_table.value[text[i]];
        int low = digit_table.value[text[i + 1]];
        if ((high | low) < 0) {
            invalid = 1;
        }
        total += ((high & 15) << 4) | (low & 15);
    }
    return total;
}

}  // namespace

bool sum_hex_pairs(std::string_view digits, size_t tail, HexByteSums& sums)
{
    const auto* text = reinterpret_cast<const unsigned char*>(digits.data());
    sums.count = digits.size() / 2;
    size_t head_count = sums.count > tail ? sums.count - tail : 0;
    unsigned invalid = 0;
    sums.without_tail = sum_pairs(text, head_count, invalid);
    sums.all = sums.without_tail + sum_pairs(text + 2 * head_count, sums.count - head_count, invalid);
    return invalid == 0;
}

}  // namespace rowmint
