#include "formats/hex_codec.hpp"

namespace rowmint {
namespace {

// The decoder that the codec registry hands out for "hex"; the registry
// caches it, so identity tells the standard decoder from a substitute.
PyObject* standard_decoder()
{
    static KeptRef kept;
    if (!kept) {
        Ref codecs = check(PyImport_ImportModule("codecs"));
        Ref getdecoder = getattr(codecs.get(), "getdecoder");
        Ref name = make_str("hex");
        kept.reset(call(getdecoder.get(), name.get()));
    }
    return kept.get();
}

PyObject* binascii_error()
{
    static KeptRef kept;
    if (!kept) {
        Ref binascii = check(PyImport_ImportModule("binascii"));
        kept.reset(getattr(binascii.get(), "Error"));
    }
    return kept.get();
}

}  // namespace

int hex_digit_value(char c)
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

namespace {

struct DigitTable {
    std::int8_t value[256];
    DigitTable()
    {
        for (int c = 0; c < 256; ++c) {
            value[c] = static_cast<std::int8_t>(hex_digit_value(static_cast<char>(c)));
        }
    }
};

const DigitTable digit_table;

}  // namespace

void decode_hex_ascii(std::string_view digits, std::uint8_t* out)
{
    if (digits.size() % 2 != 0) {
        raise(binascii_error(), "Odd-length string");
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
        raise(binascii_error(), "Non-hexadecimal digit found");
    }
}

namespace {

// The byte that two hex digits spell, or -1, for every pair of characters:
// one lookup a byte where the checksums sweep whole row lines.
struct PairTable {
    std::int16_t value[1 << 16];
    PairTable()
    {
        for (int first = 0; first < 256; ++first) {
            for (int second = 0; second < 256; ++second) {
                int high = digit_table.value[first];
                int low = digit_table.value[second];
                std::int16_t byte = (high < 0 || low < 0) ? -1 : static_cast<std::int16_t>(high * 16 + low);
                value[(first << 8) | second] = byte;
            }
        }
    }
};

const PairTable& pair_table()
{
    static const PairTable table;
    return table;
}

long long sum_pairs(const unsigned char* text, size_t count, int& invalid)
{
    const PairTable& table = pair_table();
    long long total = 0;
    for (size_t i = 0; i < count; ++i) {
        int byte = table.value[(text[2 * i] << 8) | text[2 * i + 1]];
        invalid |= byte;
        total += byte;
    }
    return total;
}

}  // namespace

HexByteSums sum_hex_ascii(std::string_view digits, size_t tail)
{
    if (digits.size() % 2 != 0) {
        raise(binascii_error(), "Odd-length string");
    }
    const auto* text = reinterpret_cast<const unsigned char*>(digits.data());
    HexByteSums sums;
    sums.count = digits.size() / 2;
    size_t head_count = sums.count > tail ? sums.count - tail : 0;
    int invalid = 0;
    sums.without_tail = sum_pairs(text, head_count, invalid);
    sums.all = sums.without_tail + sum_pairs(text + 2 * head_count, sums.count - head_count, invalid);
    if (invalid < 0) {
        raise(binascii_error(), "Non-hexadecimal digit found");
    }
    return sums;
}

HexDecoder::HexDecoder(Ref callable)
    : callable_(std::move(callable)), standard_(callable_.get() == standard_decoder())
{
}

Decoded HexDecoder::decode(const Text& digits) const
{
    if (digits.is_native()) {
        return decode(std::string_view(digits.native()));
    }
    Decoded result;
    Ref argument = digits.object();
    Ref pair = call(callable_.get(), argument.get());
    result.object = get_item(pair.get(), 0);
    return result;
}

Decoded HexDecoder::decode(std::string_view digits) const
{
    Decoded result;
    if (standard_) {
        result.bytes.resize(digits.size() / 2);
        decode_hex_ascii(digits, result.bytes.data());
        return result;
    }
    Ref argument = make_str(digits);
    Ref pair = call(callable_.get(), argument.get());
    result.object = get_item(pair.get(), 0);
    return result;
}

}  // namespace rowmint
