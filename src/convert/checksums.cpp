// Application checksum, metadata record and row checksums. The application
// checksum is taken before the metadata record is written and leaves the
// last row's metadata area out; the row checksums are taken after, so the
// last row's checksum covers the record.
#include "capi/objects.hpp"
#include "convert/byte_sums.hpp"
#include "convert/hex_text.hpp"
#include "convert/splice.hpp"
#include "convert/steps.hpp"
#include "module/namespace.hpp"

namespace rowmint {
namespace {

const Name py2("PY2");
const Name py3("PY3");

// six.PY2 / six.PY3, looked up and tested anew at every use.
bool six_flag(const ConversionState& state, const Name& flag)
{
    Ref six = state.global(global_names::six);
    Ref value = check(PyObject_GetAttr(six.get(), flag.object()));
    return truth(value.get());
}

Ref add_sum(const Ref& total, const Ref& sum)
{
    Ref as_int = check(PyNumber_Index(sum.get()));
    return add(total.get(), as_int.get());
}

// 256 - (total & 255), and 0 in place of 256.
int checksum_of(const Ref& total)
{
    if (std::optional<long long> value = exact_small_int(total.get())) {
        return checksum_of_sum(*value);
    }
    Ref as_int = check(PyNumber_Index(total.get()));
    Ref mask = make_int(255);
    Ref low_byte = check(PyNumber_And(as_int.get(), mask.get()));
    long value = PyLong_AsLong(low_byte.get());
    if (value == -1 && PyErr_Occurred()) {
        throw PythonError{};
    }
    return checksum_of_sum(value);
}

int application_checksum(ConversionState& state)
{
    Ref appsum = make_int(0);
    for (int position = 1; position <= state.max_row; ++position) {
        RowBytes data(*state.hex_decoder, state.row_line_at(position).text, row_prefix_length);
        bool last_row = position == state.max_row;
        if (six_flag(state, py2)) {
            appsum = add_sum(appsum, data.sum_of_ords(last_row));
        }
        if (six_flag(state, py3)) {
            appsum = add_sum(appsum, data.sum_of_bytes(last_row));
        }
    }
    return checksum_of(appsum);
}

// Application checksum, nine fixed bytes, then the last row index as a
// little-endian 16-bit number (the row number fields are big-endian).
Text metadata_record(int app_checksum, int last_index)
{
    return two_digit_hex_text(app_checksum)
        .concat(Text::ascii(metadata_fixed_bytes))
        .concat(two_digit_hex_text(last_index % 256))
        .concat(Text::ascii(last_index > 255 ? "01" : "00"));
}

void append_row_checksums(ConversionState& state)
{
    std::optional<int> data_checksum;
    for (int position = 1; position <= state.max_row; ++position) {
        RowLine& line = state.row_line_at(position);
        RowBytes data(*state.hex_decoder, line.text, 1);
        if (six_flag(state, py2)) {
            data_checksum = checksum_of(data.sum_of_ords(false));
        } else if (six_flag(state, py3)) {
            data_checksum = checksum_of(data.sum_of_bytes(false));
        }
        if (!data_checksum) {
            raise(PyExc_UnboundLocalError, "local variable 'data_checksum' referenced before assignment");
        }
        Text digits = two_digit_hex_text(*data_checksum);
        if (line.text.is_native() && digits.is_native()) {
            line.text.native() += digits.native();
        } else {
            line.text = line.text.concat(digits);
        }
    }
}

}  // namespace

void add_checksums_and_metadata(ConversionState& state)
{
    int app_checksum = application_checksum(state);
    Text metadata = metadata_record(app_checksum, state.max_row - 1);
    splice_row(state, state.max_row, metadata_offset_digits, metadata_digits, metadata, 0, std::nullopt);
    append_row_checksums(state);
}

}  // namespace rowmint
