// The two passes over the HEX file. One record reader classifies each line
// and keeps the segment state for both: the first pass gives every row the
// image reaches an empty row line, the second copies each data record's
// digits into the lines of its rows.
//
// The flash window is 0x2200 to 0x1FFFF: below it lies the bootloader, above
// it what is not flash. Every data record inside the window is placed at its
// own address, or the file is refused with an error naming its line.
#include "capi/compat.hpp"
#include "capi/objects.hpp"
#include "convert/conversion.hpp"
#include "formats/hex_buffer.hpp"
#include "formats/hex_lines.hpp"
#include "formats/hex_record.hpp"

#include <array>
#include <string>

namespace rowmint {
namespace {

// A stretch of a data record's digits and where it goes: replace(start,
// to - from, line of `row`, record text[from:to]).
struct Piece {
    int row;
    Py_ssize_t start;
    Py_ssize_t from;
    Py_ssize_t to;
};

// A data record's bytes: one piece, or two when they run past the end of
// their row into the next one.
struct DataPlace {
    std::array<Piece, 2> pieces;
    size_t count;
};

enum class Segment {
    first,          // rows 0x000 to 0x0FF, base address 0
    second,         // rows 0x100 to 0x1FF, base address 0x10000
    past_last_row,  // the records of the last flash row have begun
};

constexpr long long second_segment_base = 0x10000;
constexpr long long end_of_flash = 0x20000;
// Both passes read the file through this one reader, so they agree on every
// record: where its bytes go, or that the file is refused (the first pass
// meets every refusal of this reader before the second pass starts).
class RecordReader {
public:
    explicit RecordReader(const Hooks& hooks) : hooks_(hooks) {}

    // The end-of-file record was read: nothing after it counts.
    bool ended() const { return ended_; }

    // A file that ends without its end-of-file record was cut short: the
    // image it holds may be any part of the whole.
    void require_end_of_file() const
    {
        if (!ended_) {
            raise(PyExc_ValueError, "the HEX file ends after line %zd without an end-of-file record", lines_);
        }
    }

    // Where a data record's bytes go; nothing for any other line, and for
    // data that lies outside the flash window.
    std::optional<DataPlace> read(const HexRecord& record)
    {
        lines_ = record.line_number;
        if (!record.header.is_full()) {
            if (segment_ == Segment::past_last_row) {
                return std::nullopt;  // after the image, short lines are passed over
            }
            raise(PyExc_IndexError, "HEX line %zd: the record header holds %d of its 4 bytes", record.line_number,
                  record.header.size);
        }
        require_intact_record(record, hooks_);
        RecordClass what = classify(record);
        switch (what.kind) {
        case RecordKind::end_of_file:
            ended_ = true;
            return std::nullopt;
        case RecordKind::malformed:
            if (segment_ == Segment::past_last_row) {
                return std::nullopt;
            }
            raise(PyExc_ValueError, "HEX line %zd: malformed extended address record", record.line_number);
        case RecordKind::segment:
            segment_ = Segment::second;
            base_ = second_segment_base;
            return std::nullopt;
        case RecordKind::extended:
            base_ = what.base;
            return std::nullopt;
        case RecordKind::other:
            return std::nullopt;
        case RecordKind::data:
            break;
        }
        return data_place(record);
    }

private:
    std::optional<DataPlace> data_place(const HexRecord& record)
    {
        if (base_ >= end_of_flash) {
            return std::nullopt;  // RAM initialisers, option bytes, ...: not flash
        }
        require_flash_segment_base(record);
        const RecordHeader& header = record.header;
        int row = (segment_ == Segment::first ? 0 : 0x100) + header.address_high();
        bool runs_past = header.runs_past_row();
        if (row < first_image_row && !(row == first_image_row - 1 && runs_past)) {
            return std::nullopt;  // the bootloader region
        }
        if (segment_ == Segment::past_last_row && row != last_flash_row) {
            raise(PyExc_ValueError, "HEX line %zd: a record of row 0x%s follows the records of the last flash row, 0x1FF",
                  record.line_number, hex_digits(row, 3).c_str());
        }
        if (row == last_flash_row && runs_past) {
            raise(PyExc_ValueError, "HEX line %zd: the image runs past the end of flash, row 0x1FF",
                  record.line_number);
        }
        DataPlace place = pieces_of(row, header);
        if (row == 0xFF && runs_past) {
            segment_ = Segment::second;  // row 0x0FF ran on into row 0x100
        } else if (row == last_flash_row) {
            segment_ = Segment::past_last_row;
        }
        return place;
    }

    // Data under base 0 belongs to the first segment, under 0x10000 to the
    // second; any other base in the window would put it at an address the
    // row numbers cannot follow.
    void require_flash_segment_base(const HexRecord& record) const
    {
        if (base_ == 0 && segment_ != Segment::first) {
            raise(PyExc_ValueError,
                  "HEX line %zd: the record lies below address 0x10000, after the image reached its second segment",
                  record.line_number);
        }
        if (base_ != 0 && base_ != second_segment_base) {
            raise(PyExc_ValueError, "HEX line %zd: extended address base 0x%s is neither 0x00000 nor 0x10000",
                  record.line_number, hex_digits(base_, 5).c_str());
        }
    }

    // A record that runs past its row puts the rest at the start of the
    // next row. Of a record of row 0x021 only that rest is image data: the
    // bytes below 0x2200 belong to the bootloader.
    static DataPlace pieces_of(int row, const RecordHeader& header)
    {
        Py_ssize_t start = 2 * static_cast<Py_ssize_t>(header.address_low());
        Py_ssize_t end = first_data_digit + 2 * static_cast<Py_ssize_t>(header.byte_count());
        if (!header.runs_past_row()) {
            return {{Piece{row, start, first_data_digit, end}}, 1};
        }
        Py_ssize_t split = first_data_digit + row_digits - start;
        Piece rest{row + 1, 0, split, end};
        if (row < first_image_row) {
            return {{rest}, 1};
        }
        return {{Piece{row, start, first_data_digit, split}, rest}, 2};
    }

    const Hooks& hooks_;
    Py_ssize_t lines_ = 0;  // lines read so far
    Segment segment_ = Segment::first;
    long long base_ = 0;  // set by the extended address records
    bool ended_ = false;
};

// A row gets a line only when it has none yet, wherever that line stands.
void open_row(ConversionState& state, int row)
{
    int& position = state.position_of_row[static_cast<size_t>(row)];
    if (position != 0) {
        return;
    }
    state.row_lines.push_back(RowLine{row, empty_row_line(row, state.hooks)});
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

// With the file read once, the module's own replace is known to be in
// place, and nothing can rebind it during the pass.
void place_record(ConversionState& state, const HexRecord& record, const DataPlace& place)
{
    for (size_t i = 0; i < place.count; ++i) {
        const Piece& piece = place.pieces[i];
        int position = row_position(state, piece.row);
        Py_ssize_t lenth = piece.to - piece.from;
        if (state.hex_bytes) {
            state.row_line_at(position).text.splice(piece.start, lenth, record.text, piece.from, piece.to);
        } else {
            state.replace_in_row(position, piece.start, lenth, record.text, piece.from, piece.to);
        }
    }
}

// The records of a pass: from the bytes read once, or from the open file,
// which the pass ends by closing.
template <class Take>
void read_records(ConversionState& state, Take&& take)
{
    if (state.hex_bytes) {
        HexBufferLines lines(state.hex_text, state.f.get());
        read_hex_records(lines, state.hooks, take);
        return;
    }
    HexFileLines lines(state.f.get(), state.hooks.open.is_standard);
    read_hex_records(lines, state.hooks, take);
}

}  // namespace

// A file read once is placed in this pass as well: the second pass would
// read the same records from the same bytes and splice them in the same
// order into the same lines, and a line, once made, never moves. (A record
// whose bytes need a row without a line, which the second pass refuses,
// cannot follow from what this pass reads.)
void build_row_table(ConversionState& state)
{
    RecordReader reader(state.hooks);
    read_records(state, [&](const HexRecord& record) {
        if (std::optional<DataPlace> place = reader.read(record)) {
            for (size_t i = 0; i < place->count; ++i) {
                open_row(state, place->pieces[i].row);
            }
            if (state.hex_bytes) {
                place_record(state, record, *place);
            }
        }
        return !reader.ended();
    });
    reader.require_end_of_file();
    if (state.row_lines.empty()) {
        raise(PyExc_ValueError, "the HEX file holds no image data at or above address 0x2200");
    }
}

void place_data(ConversionState& state)
{
    state.max_row = static_cast<int>(state.row_lines.size());
    if (state.hex_bytes) {
        return;  // placed with the first pass
    }
    state.f = call(state.hooks.open.callable.get(), state.file_hex.get());
    RecordReader reader(state.hooks);
    read_records(state, [&](const HexRecord& record) {
        if (std::optional<DataPlace> place = reader.read(record)) {
            place_record(state, record, *place);
        }
        return !reader.ended();
    });
    reader.require_end_of_file();
}

}  // namespace rowmint
