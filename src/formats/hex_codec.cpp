#include "formats/hex_codec.hpp"

#include "capi/objects.hpp"

#include <cstdint>
#include <cstring>

namespace rowmint {

void decode_hex_ascii(std::string_view digits, std::uint8_t* out, PyObject* codec_error)
{
    if (digits.size() % 2 != 0) {
        raise(codec_error, "Odd-length string");
    }
    const auto* text = reinterpret_cast<const unsigned char*>(digits.data());
    int invalid = 0;
    for (size_t i = 0; i < digits.size(); i += 2) {
        int high = digit_table.value[text[i]];
        int low = digit_table.value[text[i + 1]];
        invalid |= high | low;  // negative once any digit is not hex
        out[i / 2] = static_cast<std::uint8_t>(((high & 15) << 4) | (low & 15));
    }
    if (invalid < 0) {
        raise(codec_error, "Non-hexadecimal digit found");
    }
}

namespace {

// Row lines are swept eight digits at a time, each byte of a 64-bit word
// one digit ("SWAR"): no digit crosses into its neighbour in any step.
constexpr std::uint64_t every_byte(std::uint8_t value) { return 0x0101010101010101ull * value; }

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
        std::uint64_t word;
        std::memcpy(&word, text + i, 8);
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

HexByteSums sum_hex_ascii(std::string_view digits, size_t tail, PyObject* codec_error)
{
    if (digits.size() % 2 != 0) {
        raise(codec_error, "Odd-length string");
    }
    const auto* text = reinterpret_cast<const unsigned char*>(digits.data());
    HexByteSums sums;
    sums.count = digits.size() / 2;
    size_t head_count = sums.count > tail ? sums.count - tail : 0;
    unsigned invalid = 0;
    sums.without_tail = sum_pairs(text, head_count, invalid);
    sums.all = sums.without_tail + sum_pairs(text + 2 * head_count, sums.count - head_count, invalid);
    if (invalid != 0) {
        raise(codec_error, "Non-hexadecimal digit found");
    }
    return sums;
}

Decoded hex_decode(const Hooks& hooks, const Text& digits)
{
    Decoded result;
    std::optional<std::string_view> ascii = digits.ascii_slice(0, std::nullopt);
    if (hooks.hex_decoder.is_standard && ascii) {
        result.bytes.resize(ascii->size() / 2);
        decode_hex_ascii(*ascii, result.bytes.data(), hooks.codec_error.get());
        return result;
    }
    Ref argument = digits.object();
    Ref pair = call(hooks.hex_decoder.callable.get(), argument.get());
    result.object = get_item(pair.get(), 0);
    return result;
}

namespace {

// data[:-tail] of a decoder's own result.
Ref without_tail(const Decoded& data, Py_ssize_t tail, bool leave_out_tail)
{
    if (data.is_native()) {
        Py_ssize_t size = static_cast<Py_ssize_t>(data.bytes.size());
        SliceBounds kept = clamp_slice(size, 0, leave_out_tail ? std::optional<Py_ssize_t>(-tail) : std::nullopt);
        return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.bytes.data()) + kept.start,
                                               kept.length()));
    }
    if (!leave_out_tail) {
        return data.object;
    }
    Ref stop = make_int(-tail);
    return slice(data.object.get(), Py_None, stop.get());
}

}  // namespace

RowBytes::RowBytes(const Hooks& hooks, const Text& line, Py_ssize_t from, Py_ssize_t tail)
    : hooks_(hooks), tail_(tail)
{
    std::optional<std::string_view> digits = line.ascii_slice(from, std::nullopt);
    if (digits && hooks.hex_decoder.is_standard && hooks.sum.is_standard) {
        sums_ = sum_hex_ascii(*digits, static_cast<size_t>(tail_), hooks.codec_error.get());
        return;
    }
    data_ = hex_decode(hooks, line.slice(from, std::nullopt));
}

RowBytes::RowBytes(const Hooks& hooks, const HexByteSums& sums, Py_ssize_t tail)
    : hooks_(hooks), tail_(tail), sums_(sums)
{
}

size_t RowBytes::count(bool leave_out_tail) const
{
    size_t all = sums_->count;
    size_t tail = static_cast<size_t>(tail_);
    return !leave_out_tail ? all : (all > tail ? all - tail : 0);
}

Ref RowBytes::object(bool leave_out_tail) const { return without_tail(data_, tail_, leave_out_tail); }

Ref RowBytes::sum_of_bytes(bool leave_out_tail) const
{
    if (sums_) {
        return make_int(leave_out_tail ? sums_->without_tail : sums_->all);
    }
    // A caller's decoder or sum(): sum(data) as Python code takes it.
    Ref part = object(leave_out_tail);
    return call(hooks_.sum.callable.get(), part.get());
}

}  // namespace rowmint
