// One line of the Intel HEX file as both passes read it: the record text
// (the line stripped of surrounding whitespace) and the bytes decoded from
// its header characters 1 to 8: byte count, address high byte, address low
// byte, record type.
#pragma once

#include "formats/hex_codec.hpp"

#include <array>
#include <cstdint>
#include <string_view>

namespace rowmint {

struct RecordHeader {
    int size = 0;  // how many header bytes the decoder gave, at most 4 kept
    std::array<int, 4> bytes{};

    int byte_count() const { return bytes[0]; }
    int address_high() const { return bytes[1]; }
    int address_low() const { return bytes[2]; }
    int type() const { return bytes[3]; }
};

struct HexRecord {
    long line_number = 0;  // counted from 1 in the file
    Text text;             // the record text
    RecordHeader header;
};

enum class RecordKind {
    data,               // type 00
    segment,            // base address 0x10000: the image's second 64 KB segment
    extended_zero,      // type 02 or 04 with value 0000: back to the image's addresses
    extended_elsewhere, // type 02 or 04 with any other value: outside the image
    other,              // end of file, start address, unknown types
};

inline constexpr int type_data = 0x00;
inline constexpr int type_extended_segment = 0x02;
inline constexpr int type_extended_linear = 0x04;

// Reads one line into `record`, reusing its buffers from the line before.
void read_record(PyObject* line, long line_number, const HexDecoder& decoder, HexRecord& record);
void read_record(std::string_view ascii_line, long line_number, const HexDecoder& decoder, HexRecord& record);

// Every record read while the image is being laid out carries a full header.
void require_full_header(const HexRecord& record);

// Throws ValueError for a malformed extended address record.
RecordKind classify(const HexRecord& record);

// The one test made on lines after the image's last row: never raises for
// short or malformed lines, they are simply not the segment record.
bool is_segment_record(const HexRecord& record);

}  // namespace rowmint
