// Application checksum, metadata record and row checksums. The application
// checksum is taken before the metadata record is written and leaves the
// last row's metadata area out; the row checksums are taken after, so the
// last row's checksum covers the record.
#include "capi/compat.hpp"
#include "capi/objects.hpp"
#include "convert/conversion.hpp"

namespace rowmint {
namespace {

// 256 - (total & 255), and 0 in place of 256.
int checksum_of(const Ref& total)
{
    if (std::optional<long long> value = exact_small_int(total.get())) {
        return checksum_of_sum(*value);
    }
    Ref as_int = check(PyNumber_Index(total.get()));
    Ref mask = make_int(255);
    Ref low_byte = check(PyNumber_And(as_int.get(), mask.get()));
    return checksum_of_sum(int_value(low_byte.get()));
}

int application_checksum(ConversionState& state)
{
    Ref appsum = make_int(0);
    for (int position = 1; position <= state.max_row; ++position) {
        RowBytes data(*state.hex_decoder, state.row_line_at(position).text, row_prefix_length, metadata_area_bytes);
        bool last_row = position == state.max_row;
        appsum = add_row_to_application_sum(
            state.module, appsum, [&] { return data.sum_of_ords(last_row); },
            [&] { return data.sum_of_bytes(last_row); });
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
    int data_checksum = 0;
    for (int position = 1; position <= state.max_row; ++position) {
        RowLine& line = state.row_line_at(position);
        RowBytes data(*state.hex_decoder, line.text, 1, metadata_area_bytes);
        Ref sum = row_sum(
            state.module, position > 1, [&] { return data.sum_of_ords(false); },
            [&] { return data.sum_of_bytes(false); });
        if (sum) {
            data_checksum = checksum_of(sum);
        }
        line.text.append(two_digit_hex_text(data_checksum));
    }
}

}  // namespace

void add_checksums_and_metadata(ConversionState& state)
{
    int app_checksum = application_checksum(state);
    Text metadata = metadata_record(app_checksum, state.max_row - 1);
    state.replace_in_row(state.max_row, metadata_offset_digits, metadata_digits, metadata, 0, std::nullopt);
    append_row_checksums(state);
}

}  // namespace rowmint
