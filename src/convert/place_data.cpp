// Second pass: copies the data digits of every record into the row lines the
// first pass opened, splitting a record that runs past the end of its row.
#include "convert/hex_lines.hpp"
#include "convert/hex_passes.hpp"
#include "convert/splice.hpp"
#include "convert/steps.hpp"
#include "module/namespace.hpp"

namespace rowmint {
namespace {

struct Placement {
    SegmentState where;
    // Address high byte of the last data record placed in the second
    // segment: after the records of the last row, a record of any other
    // row ends placement.
    int last_index = 0;
};

int row_position(const ConversionState& state, int row)
{
    std::optional<int> position = state.getrow(row);
    if (!position) {
        raise(PyExc_TypeError, "list indices must be integers or slices, not NoneType");
    }
    return *position;
}

// A record shorter than its byte count would shorten its row line and shift
// every later field of it.
void require_all_data_digits(const HexRecord& record, long long digits)
{
    Py_ssize_t present = record.text.slice_length(9, static_cast<Py_ssize_t>(9 + digits));
    if (present < digits) {
        PyErr_Format(PyExc_ValueError, "HEX line %ld: the record holds %zd data digits, its byte count needs %lld",
                     record.line_number, present, digits);
        throw PythonError{};
    }
}

void place_record(ConversionState& state, Placement& placement, const HexRecord& record, int row)
{
    long long start = 2LL * record.header.address_low();
    long long digits = 2LL * record.header.byte_count();
    require_all_data_digits(record, digits);
    if (start + digits <= row_digits) {
        splice_row(state, row_position(state, row), start, digits, record.text, 9, 9 + digits);
        return;
    }
    if (row == last_flash_row) {
        PyErr_Format(PyExc_ValueError, "HEX line %ld: the image runs past the end of flash, row 0x1FF",
                     record.line_number);
        throw PythonError{};
    }
    long long first_piece = row_digits - start;
    splice_row(state, row_position(state, row), start, first_piece, record.text, 9, 9 + first_piece);
    // The rest goes to the start of the following row, wherever its line stands.
    splice_row(state, row_position(state, row + 1), 0, digits - first_piece, record.text, 9 + first_piece,
               9 + digits);
    if (row == 0xFF) {
        placement.where.enter_second_segment();
    }
}

void take_record(ConversionState& state, Placement& placement, const HexRecord& record)
{
    SegmentState& where = placement.where;
    if (where.segment == Segment::past_flash) {
        if (is_segment_record(record)) {
            where.enter_second_segment();
            placement.last_index = 0;
        }
        return;
    }
    require_full_header(record);
    int high = record.header.address_high();
    if (where.segment == Segment::second && placement.last_index == 0xFF && high != 0xFF &&
        !is_segment_record(record)) {
        // The first pass stopped taking records at the last row's first
        // record; whatever line of another row follows them ends placement
        // here, so both passes leave the same lines alone.
        where.segment = Segment::past_flash;
        placement.last_index = high;
        return;
    }
    RecordKind kind = classify(record);
    if (kind == RecordKind::segment) {
        where.enter_second_segment();
        // The rows after a return to the second segment are those the first
        // pass opened for them.
        placement.last_index = 0;
        return;
    }
    if (kind == RecordKind::extended_zero || kind == RecordKind::extended_elsewhere) {
        where.follow_extended_address(kind);
        return;
    }
    if (kind != RecordKind::data || where.outside_image) {
        return;
    }
    if (where.segment == Segment::first) {
        if (high >= first_image_row) {
            place_record(state, placement, record, high);
        }
        return;
    }
    place_record(state, placement, record, 0x100 + high);
    placement.last_index = high;
}

}  // namespace

void place_data(ConversionState& state)
{
    state.max_row = static_cast<int>(state.row_lines.size());
    state.f = call(captured_builtins().open.get(), state.file_hex.get());
    Placement placement;
    for_each_record(state.f.get(), *state.hex_decoder,
                    [&](const HexRecord& record) { take_record(state, placement, record); });
}

}  // namespace rowmint
