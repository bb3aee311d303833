// First pass: decides which flash rows the image reaches and gives each one
// empty row line, in the order the records first reach the rows.
#include "convert/hex_lines.hpp"
#include "convert/hex_passes.hpp"
#include "convert/hex_text.hpp"
#include "convert/steps.hpp"

namespace rowmint {
namespace {

// A row gets a line only when it has none yet, wherever that line stands.
void open_row(ConversionState& state, int row)
{
    int& position = state.position_of_row[static_cast<size_t>(row)];
    if (position != 0) {
        return;
    }
    state.row_lines.push_back(RowLine{row, empty_row_line(row)});
    position = static_cast<int>(state.row_lines.size());
}

[[noreturn]] void raise_past_end_of_flash(const HexRecord& record)
{
    PyErr_Format(PyExc_ValueError, "HEX line %ld: the image runs past the end of flash, row 0x1FF",
                 record.line_number);
    throw PythonError{};
}

void open_rows_of_data_record(ConversionState& state, SegmentState& where, const HexRecord& record)
{
    const RecordHeader& header = record.header;
    int high = header.address_high();
    if (where.segment == Segment::first) {
        if (high < first_image_row) {
            return;
        }
        open_row(state, high);
        if (runs_past_row(header)) {
            // Row 0x0FF runs on into row 0x100, the start of the second segment.
            if (high == 0xFF) {
                where.enter_second_segment();
            }
            open_row(state, high + 1);
        }
        return;
    }
    int row = 0x100 + high;
    if (row == last_flash_row && runs_past_row(header)) {
        raise_past_end_of_flash(record);
    }
    open_row(state, row);
    if (runs_past_row(header)) {
        open_row(state, row + 1);
    }
    if (row == last_flash_row) {
        where.segment = Segment::past_flash;
    }
}

void take_record(ConversionState& state, SegmentState& where, const HexRecord& record)
{
    if (where.segment == Segment::past_flash) {
        if (is_segment_record(record)) {
            where.enter_second_segment();
        }
        return;
    }
    require_full_header(record);
    RecordKind kind = classify(record);
    switch (kind) {
    case RecordKind::segment:
        where.enter_second_segment();
        return;
    case RecordKind::extended_zero:
    case RecordKind::extended_elsewhere:
        where.follow_extended_address(kind);
        return;
    case RecordKind::other:
        return;
    case RecordKind::data:
        if (!where.outside_image) {
            open_rows_of_data_record(state, where, record);
        }
        return;
    }
}

}  // namespace

void build_row_table(ConversionState& state)
{
    SegmentState where;
    for_each_record(state.f.get(), *state.hex_decoder,
                    [&](const HexRecord& record) { take_record(state, where, record); });
    if (state.row_lines.empty()) {
        raise(PyExc_ValueError, "the HEX file holds no image data at or above address 0x2200");
    }
}

}  // namespace rowmint
