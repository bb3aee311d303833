#include "formats/hex_record.hpp"

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

void strip_in_place(std::string& text)
{
    std::string_view kept = stripped(text);
    size_t first = static_cast<size_t>(kept.data() - text.data());
    text.erase(first + kept.size());
    text.erase(0, first);
}

// data_hex = line.strip()
void strip_line(PyObject* line, Text& text)
{
    text.assign(Ref::borrow(line));
    if (text.is_native()) {
        strip_in_place(text.native());
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
    long value = PyLong_AsLong(number.get());
    if (value == -1 && PyErr_Occurred()) {
        throw PythonError{};
    }
    if (value < 0 || value > 255) {
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
RecordHeader decode_header(const Text& text, const HexDecoder& decoder)
{
    if (!text.is_native()) {
        return header_from(decoder.decode(text.slice(1, 9)));
    }
    std::string_view digits = text.native_slice(1, 9);
    if (!decoder.is_standard()) {
        return header_from(decoder.decode(digits));
    }
    std::uint8_t bytes[4];
    decode_hex_ascii(digits, bytes);
    RecordHeader header;
    header.size = static_cast<int>(digits.size() / 2);
    for (int i = 0; i < header.size; ++i) {
        header.bytes[static_cast<size_t>(i)] = bytes[i];
    }
    return header;
}

// The 16-bit value of a type-02/04 record: its four digits after the header.
std::optional<int> extended_address_value(const HexRecord& record)
{
    if (record.header.byte_count() != 2) {
        return std::nullopt;
    }
    Text digits = record.text.slice(9, 13);
    if (!digits.is_native() || digits.native().size() != 4) {
        return std::nullopt;
    }
    int value = 0;
    for (char c : digits.native()) {
        int digit = hex_digit_value(c);
        if (digit < 0) {
            return std::nullopt;
        }
        value = value * 16 + digit;
    }
    return value;
}

bool is_extended_address(const RecordHeader& header)
{
    return header.type() == type_extended_segment || header.type() == type_extended_linear;
}

// Both forms name base address 0x10000.
bool names_second_segment(int type, int value)
{
    return (type == type_extended_segment && value == 0x1000) || (type == type_extended_linear && value == 0x0001);
}

}  // namespace

void read_record(PyObject* line, long line_number, const HexDecoder& decoder, HexRecord& record)
{
    record.line_number = line_number;
    strip_line(line, record.text);
    record.header = decode_header(record.text, decoder);
}

void read_record(std::string_view ascii_line, long line_number, const HexDecoder& decoder, HexRecord& record)
{
    record.line_number = line_number;
    record.text.assign_native(stripped(ascii_line));
    record.header = decode_header(record.text, decoder);
}

void require_full_header(const HexRecord& record)
{
    if (record.header.size < 4) {
        PyErr_Format(PyExc_IndexError, "HEX line %ld: the record header holds %d of its 4 bytes", record.line_number,
                     record.header.size);
        throw PythonError{};
    }
}

RecordKind classify(const HexRecord& record)
{
    const RecordHeader& header = record.header;
    if (is_extended_address(header)) {
        std::optional<int> value = extended_address_value(record);
        if (!value) {
            PyErr_Format(PyExc_ValueError, "HEX line %ld: malformed extended address record", record.line_number);
            throw PythonError{};
        }
        if (names_second_segment(header.type(), *value)) {
            return RecordKind::segment;
        }
        return *value == 0 ? RecordKind::extended_zero : RecordKind::extended_elsewhere;
    }
    return header.type() == type_data ? RecordKind::data : RecordKind::other;
}

bool is_segment_record(const HexRecord& record)
{
    if (record.header.size < 4 || !is_extended_address(record.header)) {
        return false;
    }
    std::optional<int> value = extended_address_value(record);
    return value && names_second_segment(record.header.type(), *value);
}

}  // namespace rowmint
