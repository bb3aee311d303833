#include "formats/hex_record.hpp"

#include "capi/objects.hpp"

#include <algorithm>
#include <optional>
#include <string>

namespace rowmint {
namespace {

// The characters str.strip() removes from ASCII text.
bool is_ascii_whitespace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f');
}

std::string_view stripped(std::string_view text)
{
    while (!text.empty() && is_ascii_whitespace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_ascii_whitespace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// data_hex = line.strip()
void strip_line(PyObject* line, Text& text)
{
    Ref holder;
    if (std::optional<std::string_view> ascii = exact_ascii_view(line, holder)) {
        text.assign_ascii(stripped(*ascii));
        return;
    }
    // Non-ASCII text (Unicode whitespace included) and other line objects:
    // the object's own strip.
    text.assign(call_method(line, "strip"));
}

int header_byte_value(PyObject* decoded, int index)
{
    Ref item = get_item(decoded, index);
    Ref number = check(PyNumber_Index(item.get()));
    // Any size of int is judged alike on every platform (long is 32 bits on
    // Windows), so a huge one meets this module's error, not OverflowError.
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) {
        throw PythonError{};
    }
    if (overflow != 0 || value < 0 || value > 255) {
        raise(PyExc_ValueError, "the hex decoder gave a record header byte outside 0 to 255");
    }
    return static_cast<int>(value);
}

RecordHeader header_from(const Decoded& decoded)
{
    RecordHeader header;
    if (decoded.is_native()) {
        header.size = static_cast<int>(std::min<size_t>(decoded.bytes.size(), 4));
        for (int i = 0; i < header.size; ++i) {
            header.bytes[static_cast<size_t>(i)] = decoded.bytes[static_cast<size_t>(i)];
        }
        return header;
    }
    Py_ssize_t size = PyObject_Size(decoded.object.get());
    if (size < 0) {
        throw PythonError{};
    }
    header.size = static_cast<int>(std::min<Py_ssize_t>(size, 4));
    for (int i = 0; i < header.size; ++i) {
        header.bytes[static_cast<size_t>(i)] = header_byte_value(decoded.object.get(), i);
    }
    return header;
}

// index_hex: characters 1 to 8 of the record text, decoded.
RecordHeader decode_header(const Text& text, const Hooks& hooks)
{
    std::optional<std::string_view> digits = text.ascii_slice(1, 9);
    if (!digits || !hooks.hex_decoder.is_standard) {
        return header_from(hex_decode(hooks, text.slice(1, 9)));
    }
    std::uint8_t bytes[4];
    decode_hex_ascii(*digits, bytes, hooks.codec_error.get());
    RecordHeader header;
    header.size = static_cast<int>(digits->size() / 2);
    for (int i = 0; i < header.size; ++i) {
        header.bytes[static_cast<size_t>(i)] = bytes[i];
    }
    return header;
}

constexpr int type_data = 0x00;
constexpr int type_end_of_file = 0x01;
constexpr int type_extended_segment = 0x02;
constexpr int type_extended_linear = 0x04;

// The 16-bit value of a type-02/04 record: its four digits after the header.
std::optional<int> extended_address_value(const HexRecord& record)
{
    if (record.header.byte_count() != 2) {
        return std::nullopt;
    }
    // Sliced first: a record text with non-ASCII characters further on may
    // still hold four ASCII digits here.
    Text value_text = record.text.slice(9, 13);
    std::optional<std::string_view> digits = value_text.ascii_slice(0, std::nullopt);
    if (!digits || digits->size() != 4) {
        return std::nullopt;
    }
    int value = 0;
    for (char c : *digits) {
        int digit = hex_digit_value(c);
        if (digit < 0) {
            return std::nullopt;
        }
        value = value * 16 + digit;
    }
    return value;
}

}  // namespace

void read_record(PyObject* line, Py_ssize_t line_number, const Hooks& hooks, HexRecord& record)
{
    record.line_number = line_number;
    strip_line(line, record.text);
    record.header = decode_header(record.text, hooks);
}

void read_record(std::string_view ascii_line, Py_ssize_t line_number, const Hooks& hooks, HexRecord& record)
{
    record.line_number = line_number;
    record.text.borrow_ascii(stripped(ascii_line));
    record.header = decode_header(record.text, hooks);
}

RecordClass classify(const HexRecord& record)
{
    int type = record.header.type();
    if (type == type_extended_segment || type == type_extended_linear) {
        std::optional<int> value = extended_address_value(record);
        if (!value) {
            return {RecordKind::malformed};
        }
        long long base = type == type_extended_segment ? *value * 16LL : *value * 65536LL;
        return {base == 0x10000 ? RecordKind::segment : RecordKind::extended, base};
    }
    if (type == type_data) {
        return {RecordKind::data};
    }
    return {type == type_end_of_file ? RecordKind::end_of_file : RecordKind::other};
}

}  // namespace rowmint
