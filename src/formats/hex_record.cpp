#include "formats/hex_record.hpp"

#include "capi/objects.hpp"
#include "formats/row_line.hpp"

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

// Every ASCII whitespace character lies at or below ' ', so one comparison
// settles the usual ends of a record, ':' and a digit.
std::string_view stripped(std::string_view text)
{
    while (!text.empty() && text.front() <= ' ' && is_ascii_whitespace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() <= ' ' && is_ascii_whitespace(text.back())) {
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

int header_byte_value(PyObject* decoded, Py_ssize_t index)
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

// The usual header: ':' and eight hex digits, read by the standard decoder.
bool read_full_header(std::string_view text, RecordHeader& header)
{
    constexpr size_t header_end = static_cast<size_t>(first_data_digit);
    if (text.size() < header_end) {
        return false;
    }
    const auto* digits = reinterpret_cast<const unsigned char*>(text.data());
    int invalid = 0;
    for (size_t i = 1; i < header_end; i += 2) {
        int high = digit_table.value[digits[i]];
        int low = digit_table.value[digits[i + 1]];
        invalid |= high | low;
        header.bytes[i / 2] = high * 16 + low;
    }
    header.size = 4;
    return invalid >= 0;
}

// The quick reading of an ASCII record by the standard decoder, which nearly
// every record passes: ':', then only hex digits, as many as the byte count
// gives, whose bytes sum to a multiple of 256. The header is decoded, the
// digits after it summed by position (a byte is 16 times its first digit
// plus its second); a record that fails it is read again by the steps that
// say what is wrong.
bool read_intact_record(std::string_view text, RecordHeader& header)
{
    constexpr size_t header_end = static_cast<size_t>(first_data_digit);
    if (text.size() < header_end + 2 || text[0] != ':' || !read_full_header(text, header) ||
        text.size() != header_end + 2 + 2 * static_cast<size_t>(header.byte_count())) {
        return false;
    }
    const auto* digits = reinterpret_cast<const unsigned char*>(text.data());
    const std::int8_t* value = digit_table.value;
    int invalid = 0;  // negative once any digit is not hex
    unsigned first_digits = 0;
    unsigned second_digits = 0;
    size_t i = header_end;
    for (; i + 4 <= text.size(); i += 4) {  // two bytes a step
        int a = value[digits[i]], b = value[digits[i + 1]], c = value[digits[i + 2]], d = value[digits[i + 3]];
        invalid |= a | b | c | d;
        first_digits += static_cast<unsigned>(a + c);
        second_digits += static_cast<unsigned>(b + d);
    }
    if (i < text.size()) {
        int a = value[digits[i]], b = value[digits[i + 1]];
        invalid |= a | b;
        first_digits += static_cast<unsigned>(a);
        second_digits += static_cast<unsigned>(b);
    }
    unsigned header_sum = static_cast<unsigned>(header.bytes[0] + header.bytes[1] + header.bytes[2] + header.bytes[3]);
    return invalid >= 0 && (header_sum + 16 * first_digits + second_digits) % 256 == 0;
}

// index_hex: characters 1 to 8 of the record text, decoded.
RecordHeader decode_header(const Text& text, const Hooks& hooks)
{
    std::optional<std::string_view> digits = text.ascii_slice(1, 9);
    if (!digits || !hooks.hex_decoder.is_standard) {
        return header_from(hex_decode(hooks, text.slice(1, 9)));
    }
    std::uint8_t bytes[4];
    if (!decode_hex_ascii(*digits, bytes)) {
        return header_from(call_hex_decoder(hooks, text.slice(1, 9)));
    }
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

// The first character, compared as Python compares text.
bool begins_with_colon(const Text& text)
{
    if (std::optional<std::string_view> ascii = text.ascii_slice(0, 1)) {
        return *ascii == ":";
    }
    Ref first = text.slice(0, 1).object();
    Ref colon = make_str(":");
    return equals(first.get(), colon.get());
}

void require_record_length(const HexRecord& record)
{
    Py_ssize_t data_digits = 2 * static_cast<Py_ssize_t>(record.header.byte_count());
    Py_ssize_t whole = first_data_digit + data_digits + 2;  // and two checksum digits
    Py_ssize_t length = record.text.slice_length(0, std::nullopt);
    if (length == whole) {
        return;
    }
    if (length > whole) {
        raise(PyExc_ValueError, "HEX line %zd: the record runs on past its checksum", record.line_number);
    }
    // Fewer data digits would shorten the row line they go to and shift
    // every later field of it.
    Py_ssize_t present = record.text.slice_length(first_data_digit, first_data_digit + data_digits);
    if (present < data_digits) {
        raise(PyExc_ValueError, "HEX line %zd: the record holds %zd data digits, its byte count needs %zd",
              record.line_number, present, data_digits);
    }
    raise(PyExc_ValueError, "HEX line %zd: the record ends before its checksum", record.line_number);
}

// A record's bytes after ':' summed, with and without its checksum byte.
struct RecordSums {
    long long all = 0;
    long long before_checksum = 0;
};

// The bytes after ':' (header, data, checksum), decoded as the header is:
// a character that is not a hex digit fails as it would there.
RecordSums record_byte_sums(const HexRecord& record, const Hooks& hooks)
{
    Decoded decoded = hex_decode(hooks, record.text.slice(1, std::nullopt));
    RecordSums sums;
    int last = 0;
    if (decoded.is_native()) {
        for (std::uint8_t byte : decoded.bytes) {
            sums.all += byte;
            last = byte;
        }
    } else {
        Py_ssize_t size = PyObject_Size(decoded.object.get());
        if (size < 0) {
            throw PythonError{};
        }
        for (Py_ssize_t i = 0; i < size; ++i) {
            last = header_byte_value(decoded.object.get(), i);
            sums.all += last;
        }
    }
    sums.before_checksum = sums.all - last;
    return sums;
}

}  // namespace

void require_intact_record(const HexRecord& record, const Hooks& hooks)
{
    if (record.intact) {
        return;
    }
    if (!begins_with_colon(record.text)) {
        raise(PyExc_ValueError, "HEX line %zd: the record does not begin with ':'", record.line_number);
    }
    require_record_length(record);
    RecordSums sums = record_byte_sums(record, hooks);
    if (sums.all % 256 != 0) {
        long long checksum = sums.all - sums.before_checksum;
        raise(PyExc_ValueError, "HEX line %zd: the record checksum is 0x%s, its bytes need 0x%s", record.line_number,
              hex_digits(checksum, 2).c_str(), hex_digits(checksum_of_sum(sums.before_checksum), 2).c_str());
    }
}

void read_record(PyObject* line, Py_ssize_t line_number, const Hooks& hooks, HexRecord& record)
{
    record.line_number = line_number;
    record.intact = false;
    strip_line(line, record.text);
    record.header = decode_header(record.text, hooks);
}

void read_record(std::string_view ascii_line, Py_ssize_t line_number, const Hooks& hooks, HexRecord& record)
{
    record.line_number = line_number;
    std::string_view text = stripped(ascii_line);
    record.text.borrow_ascii(text);
    record.intact = hooks.hex_decoder.is_standard && read_intact_record(text, record.header);
    if (!record.intact) {
        record.header = decode_header(record.text, hooks);
    }
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
