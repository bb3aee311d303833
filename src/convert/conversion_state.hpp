// The values main's steps share during one conversion. A fresh state is made
// at every call of main; nothing carries over between calls.
#pragma once

#include "capi/objects.hpp"
#include "formats/hex_codec.hpp"
#include "formats/row_line.hpp"
#include "formats/text.hpp"

#include <array>
#include <optional>
#include <vector>

namespace rowmint {

struct RowLine {
    int row;    // flash row number, 0x022 to 0x1FF
    Text text;  // the row line: prefix, data field, and at the end its checksum
};

struct ConversionState {
    explicit ConversionState(PyObject* module_object) : module(module_object) {}

    PyObject* module;  // borrowed: the module outlives every call of main

    // Module-level names are looked up at each use, so a caller that
    // rebinds them sees the effect.
    Ref global(const Name& name) const;

    std::optional<HexDecoder> hex_decoder;
    Ref objcopy;
    Ref file_elf;
    Ref file_hex;
    Ref file_cyacd;
    Ref cmd;
    Ref f;  // the HEX file while a pass reads it

    // list_cyacd: the header line, then the row lines in the order the HEX
    // records first reach their rows.
    std::vector<RowLine> row_lines;
    // List position (1-based, as in the file after the header) of each
    // row's line; 0 for a row without one.
    std::array<int, flash_rows> position_of_row{};
    int max_row = 0;

    // The list position of the row's line, or nothing when it has none.
    std::optional<int> getrow(int row) const;
    RowLine& row_line_at(int position) { return row_lines[static_cast<size_t>(position - 1)]; }
};

}  // namespace rowmint
