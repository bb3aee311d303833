#include "formats/row_line.hpp"

namespace rowmint {

std::string hex_digits(long long value)
{
    static const char digits[] = "0123456789ABCDEF";
    if (value == 0) {
        return "0";
    }
    std::string text;
    for (unsigned long long rest = static_cast<unsigned long long>(value); rest != 0; rest /= 16) {
        text.insert(text.begin(), digits[rest % 16]);
    }
    return text;
}

std::string two_hex_digits(long long value)
{
    return value < 16 ? "0" + hex_digits(value) : hex_digits(value);
}

int checksum_of_sum(long long sum)
{
    int checksum = 256 - static_cast<int>(sum & 255);
    return checksum == 256 ? 0 : checksum;
}

std::string row_prefix(int row)
{
    return ":000" + std::to_string(row / row_size) + two_hex_digits(row % row_size) + "0100";
}

}  // namespace rowmint
