#include "convert/hex_text.hpp"

#include "formats/row_line.hpp"
#include "module/namespace.hpp"

namespace rowmint {
namespace {

// hex(value)[2:].upper() through a hex() that a caller put in the builtins.
Text substituted_hex_digits(long long value)
{
    Ref number = make_int(value);
    Ref with_prefix = call(captured_builtins().hex.get(), number.get());
    Ref digits = slice(with_prefix.get(), 2, std::nullopt);
    return Text::adopt(call_method(digits.get(), "upper"));
}

const std::string& zero_data_field()
{
    static const std::string zeros(row_digits, '0');
    return zeros;
}

}  // namespace

Text two_digit_hex_text(long long value)
{
    if (captured_builtins().hex_is_standard) {
        return Text::ascii(two_hex_digits(value));
    }
    Text digits = substituted_hex_digits(value);
    return value < 16 ? Text::ascii("0").concat(digits) : digits;
}

Text empty_row_line(int row)
{
    if (captured_builtins().hex_is_standard) {
        return Text::ascii(row_prefix(row) + zero_data_field());
    }
    Text segment_digit = Text::ascii(":000" + std::to_string(row / row_size));
    Text rest = Text::ascii("0100" + zero_data_field());
    return segment_digit.concat(two_digit_hex_text(row % row_size)).concat(rest);
}

}  // namespace rowmint
