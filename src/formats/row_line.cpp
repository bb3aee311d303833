#include "formats/row_line.hpp"

#include "capi/objects.hpp"

namespace rowmint {

std::string hex_digits(long long value, size_t width)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned long long rest = static_cast<unsigned long long>(value); rest != 0; rest /= 16) {
        text.insert(text.begin(), digits[rest % 16]);
    }
    if (text.size() < width) {
        text.insert(0, width - text.size(), '0');
    }
    return text;
}

int checksum_of_sum(long long sum)
{
    int checksum = 256 - static_cast<int>(sum & 255);
    return checksum == 256 ? 0 : checksum;
}

std::string row_prefix(int row)
{
    return ":000" + std::to_string(row / row_size) + hex_digits(row % row_size, 2) + "0100";
}

namespace {

// hex(value)[2:].upper() through a hex() that a caller put in the builtins.
Text substituted_hex_digits(long long value, const Hook& hex)
{
    Ref number = make_int(value);
    Ref with_prefix = call(hex.callable.get(), number.get());
    Ref digits = slice(with_prefix.get(), 2, std::nullopt);
    return Text::adopt(call_method(digits.get(), "upper"));
}

const std::string& zero_data_field()
{
    static const std::string zeros(row_digits, '0');
    return zeros;
}

}  // namespace

Text two_digit_hex_text(long long value, const Hooks& hooks)
{
    if (hooks.hex.is_standard) {
        return Text::ascii(hex_digits(value, 2));
    }
    Text digits = substituted_hex_digits(value, hooks.hex);
    return value < 16 ? Text::ascii("0").concat(digits) : digits;
}

Text empty_row_line(int row, const Hooks& hooks)
{
    if (hooks.hex.is_standard) {
        std::string line = row_prefix(row);
        line.reserve(row_prefix_length + row_digits + 2);  // room for the checksum to come
        line += zero_data_field();
        return Text::ascii(std::move(line));
    }
    Text segment_digit = Text::ascii(":000" + std::to_string(row / row_size));
    Text rest = Text::ascii("0100" + zero_data_field());
    return segment_digit.concat(two_digit_hex_text(row % row_size, hooks)).concat(rest);
}

}  // namespace rowmint
