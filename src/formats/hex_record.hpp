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

inline constexpr Py_ssize_t first_data_digit = 9;  // after ":", count, address and type

struct RecordHeader {
    int size = 0;  // how many header bytes the decoder gave, at most 4 kept
    std::array<int, 4> bytes{};

    int byte_count() const { return bytes[0]; }
    int address_high() const { return bytes[1]; }
    int address_low() const { return bytes[2]; }
    int type() const { return bytes[3]; }
    bool is_full() const { return size == 4; }
    // Whether the record's data runs past the end of its 256-byte row.
    bool runs_past_row() const { return address_low() + byte_count() > 256; }
};

struct HexRecord {
    Py_ssize_t line_number = 0;  // counted from 1 in the file
    Text text;                   // the record text, borrowed from its line while that is current
    RecordHeader header;
    bool intact = false;  // known whole and intact from the quick reading of the line
};

enum class RecordKind {
    data,         // type 00
    segment,      // type 02 or 04 naming base address 0x10000: the image's second segment
    extended,     // any other well-formed type 02 or 04: a new base address
    malformed,    // type 02 or 04 without a byte count of 2 and four hex digits
    end_of_file,  // type 01
    other,        // start address, unknown types
};

struct RecordClass {
    RecordKind kind;
    long long base = 0;  // the base address an extended address record sets
};

// Reads one line into `record`, reusing its buffers from the line before.
void read_record(PyObject* line, Py_ssize_t line_number, const Hooks& hooks, HexRecord& record);
void read_record(std::string_view ascii_line, Py_ssize_t line_number, const Hooks& hooks, HexRecord& record);

// Refuses, naming its line, a record that is not whole and intact: one that
// does not begin with ':', whose length is not its header, 2n data digits
// (n its byte count) and a checksum, whose characters after the header are
// not all hex digits, or whose bytes do not sum to a multiple of 256. The
// header must hold all 4 bytes.
void require_intact_record(const HexRecord& record, const Hooks& hooks);

// What the record is, by its type and, for extended address records, its
// value. The header must hold all 4 bytes.
RecordClass classify(const HexRecord& record);

}  // namespace rowmint
