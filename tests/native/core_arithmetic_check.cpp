// Known answers for the digit sums and the splice of the module's core,
// built without the interpreter so that it runs on any target: a big-endian
// one (the sums read eight digits a word) and a 32-bit one (splice positions
// must fit Py_ssize_t there). Prints each failure; exits 1 if there was one.
#include "formats/core_arithmetic.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

using namespace rowmint;

namespace {

int failures = 0;

void expect(bool ok, const std::string& what)
{
    if (!ok) {
        ++failures;
        std::printf("FAIL: %s\n", what.c_str());
    }
}

std::string repeat(const std::string& text, int times)
{
    std::string result;
    for (int i = 0; i < times; ++i) {
        result += text;
    }
    return result;
}

struct SumCase {
    std::string digits;
    size_t tail;
    bool all_hex;
    long long all;
    long long without_tail;
};

void check_sums()
{
    std::string every_byte;  // 00 01 ... FF: a whole row's data field
    for (int value = 0; value < 256; ++value) {
        static const char digits[] = "0123456789ABCDEF";
        every_byte += digits[value >> 4];
        every_byte += digits[value & 15];
    }
    const SumCase cases[] = {
        // High and low digits trade places if a word is read in the wrong order.
        {"0102030405060708", 0, true, 36, 36},
        {"1020304050607080", 2, true, 576, 336},
        {"aAbBcCdDeEfF0099", 1, true, 1428, 1275},
        {every_byte, 64, true, 32640, 18336},
        {repeat("F", 40000), 0, true, 20000 * 255, 20000 * 255},  // past a fold of the lanes
        {"0123456789abcdeG", 0, false, 0, 0},
        {"G123456789abcdef", 0, false, 0, 0},
        {"0123456789abcdef0G", 0, false, 0, 0},
        {"01234567\x80" "9abcdef", 0, false, 0, 0},
    };
    for (const SumCase& c : cases) {
        HexByteSums sums;
        bool all_hex = sum_hex_pairs(c.digits, c.tail, sums);
        std::string name = "sums of " + c.digits.substr(0, 24) + (c.digits.size() > 24 ? "..." : "");
        expect(all_hex == c.all_hex, name + ": hex digits found " + (all_hex ? "all" : "not all"));
        if (c.all_hex && all_hex) {
            expect(sums.all == c.all, name + ": all = " + std::to_string(sums.all));
            expect(sums.without_tail == c.without_tail, name + ": without tail = " + std::to_string(sums.without_tail));
            expect(sums.count == c.digits.size() / 2, name + ": count");
        }
    }
    std::uint8_t bytes[8] = {};
    expect(decode_hex_pairs("0A1bC2d3e4F5a6B7", bytes) && bytes[0] == 0x0A && bytes[1] == 0x1B && bytes[3] == 0xD3 &&
               bytes[7] == 0xB7,
           "decode 0A1bC2d3e4F5a6B7");
    expect(!decode_hex_pairs("0A1x", bytes), "decode 0A1x refuses x");
}

struct SpliceCase {
    long long start;
    long long lenth;
    std::string line;
    std::string repstr;
    std::string expected;  // what Python's slicing gives
};

void check_splices()
{
    const std::string line = "0123456789abcdefghij";
    const long long two_to_28 = 1LL << 28, two_to_31 = 1LL << 31, two_to_32 = 1LL << 32, two_to_40 = 1LL << 40;
    const SpliceCase cases[] = {
        {2, 3, "01234567890abcdefgh", "XYZ", "01234567890abXYZfgh"},
        {0, -2, "01234567890ab", "X", "01234567890X90ab"},
        {-12, 0, "abc", "X", "abXc"},
        {two_to_28, two_to_28, line, "X", line + "X"},
        {two_to_31 - 11, 0, line, "X", line + "X"},
        {two_to_32, 0, line, "X", line + "X"},
        {-two_to_32, 0, line, "X", "X" + line},
        {0, two_to_32, line, "X", line.substr(0, 11) + "X"},
        {two_to_40, -two_to_40, line, "X", line + "X" + line.substr(11)},
    };
    int native = 0;
    for (const SpliceCase& c : cases) {
        // The module splices natively only when both positions pass; the
        // others go to Python's own ints and slicing.
        if (!is_native_position(c.start) || !is_native_position(c.lenth)) {
            continue;
        }
        ++native;
        std::string result = c.line;
        splice_ascii(c.start, c.lenth, result, c.repstr);
        expect(result == c.expected, "splice(" + std::to_string(c.start) + ", " + std::to_string(c.lenth) + ", " +
                                         c.line + ", " + c.repstr + ") gave " + result);
    }
    std::printf("%d of %zu splices native\n", native, sizeof(cases) / sizeof(cases[0]));
}

const char* byte_order()
{
    const std::uint16_t one = 1;
    unsigned char first = 0;
    std::memcpy(&first, &one, 1);
    return first == 1 ? "little-endian" : "big-endian";
}

}  // namespace

int main()
{
    check_sums();
    check_splices();
    std::printf("%s (%s, %zu-bit positions): %d failure(s)\n", failures == 0 ? "passed" : "FAILED", byte_order(),
                8 * sizeof(Index), failures);
    return failures == 0 ? 0 : 1;
}
