// The two passes over the HEX file. One record reader classifies each line
// and keeps the segment state for both: the first pass gives every row the
// image reaches an empty row line, the second copies each data record's
// digits into the lines of its rows.
#include "capi/compat.hpp"
#include "capi/namespace.hpp"
#include "capi/objects.hpp"
#include "convert/conversion.hpp"
#include "formats/hex_lines.hpp"
#include "formats/hex_record.hpp"

namespace rowmint {
namespace {

enum class Pass { row_table, placement };

// Where a data record's bytes go: `count` bytes from `offset` of `row`,
// running on into the next row when they pass its end.
struct DataPlace {
    int row;
    int offset;
    int count;
    bool runs_past_row;
};

enum class Segment {
    first,       // rows 0x000 to 0x0FF
    second,      // rows 0x100 to 0x1FF, after base address 0x10000
    past_flash,  // the records of the last row are over: nothing more is laid out
};

[[noreturn]] void raise_past_end_of_flash(const HexRecord& record)
{
    raise(PyExc_ValueError, "HEX line %zd: the image runs past the end of flash, row 0x1FF", record.line_number);
}

// A record shorter than its byte count would shorten its row line and shift
// every later field of it.
void require_all_data_digits(const HexRecord& record)
{
    Py_ssize_t digits = 2 * static_cast<Py_ssize_t>(record.header.byte_count());
    Py_ssize_t present = record.text.slice_length(9, 9 + digits);
    if (present < digits) {
        raise(PyExc_ValueError, "HEX line %zd: the record holds %zd data digits, its byte count needs %zd",
              record.line_number, present, digits);
    }
}

class RecordReader {
public:
    explicit RecordReader(Pass pass) : pass_(pass) {}

    // What the record means for the image: the place of a data record's
    // bytes, or nothing for any other line.
    std::optional<DataPlace> read(const HexRecord& record)
    {
        if (segment_ == Segment::past_flash) {
            // Only the segment record is looked for: short and malformed
            // lines are simply not it.
            if (record.header.is_full() && classify(record).kind == RecordKind::segment) {
                enter_second_segment();
            }
            return std::nullopt;
        }
        if (!record.header.is_full()) {
            raise(PyExc_IndexError, "HEX line %zd: the record header holds %d of its 4 bytes", record.line_number,
                  record.header.size);
        }
        if (pass_ == Pass::placement && ends_placement(record)) {
            segment_ = Segment::past_flash;
            return std::nullopt;
        }
        RecordClass what = classify(record);
        switch (what.kind) {
        case RecordKind::malformed:
            raise(PyExc_ValueError, "HEX line %zd: malformed extended address record", record.line_number);
        case RecordKind::segment:
            enter_second_segment();
            return std::nullopt;
        case RecordKind::extended:
            // A base other than 0 (1 MB and up, say) takes the addresses
            // away from the image; base 0 brings them back.
            outside_image_ = what.base != 0;
            return std::nullopt;
        case RecordKind::end_of_file:
        case RecordKind::other:
            return std::nullopt;
        case RecordKind::data:
            break;
        }
        return outside_image_ ? std::nullopt : data_place(record);
    }

private:
    void enter_second_segment()
    {
        segment_ = Segment::second;
        outside_image_ = false;
        // The rows after a return to the second segment are those the first
        // pass opened for them.
        last_high_ = 0;
    }

    // The second pass only: after the records of the last row, a line of any
    // other row ends placement before its type is looked at. The first pass
    // stopped taking records at the last row's first record, so both passes
    // leave the same lines alone.
    bool ends_placement(const HexRecord& record) const
    {
        int high = record.header.address_high();
        return segment_ == Segment::second && last_high_ == 0xFF && high != 0xFF &&
               classify(record).kind != RecordKind::segment;
    }

    std::optional<DataPlace> data_place(const HexRecord& record)
    {
        const RecordHeader& header = record.header;
        int high = header.address_high();
        if (segment_ == Segment::first && high < first_image_row) {
            return std::nullopt;  // the bootloader region
        }
        if (pass_ == Pass::placement) {
            // Only the second pass reads the data digits.
            require_all_data_digits(record);
        }
        int row = (segment_ == Segment::first ? 0 : 0x100) + high;
        if (row == last_flash_row && header.runs_past_row()) {
            raise_past_end_of_flash(record);
        }
        DataPlace place{row, header.address_low(), header.byte_count(), header.runs_past_row()};
        if (segment_ == Segment::first) {
            // Row 0x0FF running on past its end has reached the second segment.
            if (row == 0xFF && place.runs_past_row) {
                enter_second_segment();
            }
        } else if (pass_ == Pass::row_table) {
            // The first pass takes the last row's first record and nothing after it.
            if (row == last_flash_row) {
                segment_ = Segment::past_flash;
            }
        } else {
            last_high_ = high;
        }
        return place;
    }

    Pass pass_;
    Segment segment_ = Segment::first;
    // An extended address record took the addresses away from the image; a
    // record with value 0000 or the segment record brings them back.
    bool outside_image_ = false;
    // Second pass: address high byte of the last data record placed in the
    // second segment.
    int last_high_ = 0;
};

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

int row_position(const ConversionState& state, int row)
{
    std::optional<int> position = state.getrow(row);
    if (!position) {
        raise_no_row_line();
    }
    return *position;
}

void place_record(ConversionState& state, const HexRecord& record, const DataPlace& place)
{
    Py_ssize_t start = 2 * static_cast<Py_ssize_t>(place.offset);
    Py_ssize_t digits = 2 * static_cast<Py_ssize_t>(place.count);
    if (!place.runs_past_row) {
        state.replace_in_row(row_position(state, place.row), start, digits, record.text, 9, 9 + digits);
        return;
    }
    Py_ssize_t first_piece = row_digits - start;
    state.replace_in_row(row_position(state, place.row), start, first_piece, record.text, 9, 9 + first_piece);
    // The rest goes to the start of the following row, wherever its line stands.
    state.replace_in_row(row_position(state, place.row + 1), 0, digits - first_piece, record.text,
                         9 + first_piece, 9 + digits);
}

}  // namespace

void build_row_table(ConversionState& state)
{
    RecordReader reader(Pass::row_table);
    read_hex_records(state.f.get(), *state.hex_decoder, [&](const HexRecord& record) {
        if (std::optional<DataPlace> place = reader.read(record)) {
            open_row(state, place->row);
            if (place->runs_past_row) {
                open_row(state, place->row + 1);
            }
        }
        return true;
    });
    if (state.row_lines.empty()) {
        raise(PyExc_ValueError, "the HEX file holds no image data at or above address 0x2200");
    }
}

void place_data(ConversionState& state)
{
    state.max_row = static_cast<int>(state.row_lines.size());
    state.f = call(captured_builtins().open.get(), state.file_hex.get());
    RecordReader reader(Pass::placement);
    read_hex_records(state.f.get(), *state.hex_decoder, [&](const HexRecord& record) {
        if (std::optional<DataPlace> place = reader.read(record)) {
            place_record(state, record, *place);
        }
        return true;
    });
}

}  // namespace rowmint
