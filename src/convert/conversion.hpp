// One conversion, ELF to row file: the values main's steps share, and the
// steps in the order main runs them. A fresh state is made at every call of
// main; nothing carries over between calls.
#pragma once

#include "formats/hex_buffer.hpp"
#include "formats/hex_codec.hpp"
#include "formats/row_line.hpp"

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

    // hex_decoder and the builtins, as this conversion meets them.
    Hooks hooks;
    Ref objcopy;
    Ref file_elf;
    Ref file_hex;
    Ref file_cyacd;
    // The row file's path as the caller gave it (os.fspath of file_cyacd),
    // which every error about the row file names; and the file it replaces:
    // the same path, or the file it links to.
    Ref row_file_path;
    Ref row_file_target;
    Ref cmd;
    Ref f;  // the HEX file while a pass reads it
    // The HEX file's bytes when it is read once (read_hex_file_once), and
    // its text, a view into them, which the first pass splits in place.
    Ref hex_bytes;
    AsciiText hex_text;

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

    // list_cyacd[position] = replace(start, lenth, list_cyacd[position],
    // source[from:to]), with `replace` looked up in the module at this
    // moment: the module's own is done in C++, a caller's substitute is
    // called and its result kept. True when a caller's function ran.
    bool replace_in_row(int position, long long start, long long lenth, const Text& source, Py_ssize_t from,
                        std::optional<Py_ssize_t> to);
};

// The steps, strictly in this order; an exception ends the conversion
// before anything is written.
// 1. Reads the command line, runs the object-copy tool, opens the HEX file.
void open_hex_file(ConversionState& state);
// Part of step 1, before the tool runs, in this order: refuses paths that
// name the ELF file, a HEX path that names what the user keeps, a row file
// that has nowhere to go, and a row file that is not a file.
void check_paths_before_the_tool(ConversionState& state);
struct FileSystem;
void refuse_a_hex_path_the_user_keeps(const FileSystem& files, PyObject* hex_path);
// 1a. After the tool has run: the HEX file read once, whole, when nothing of
// a caller's takes part in the passes and the bytes are its text.
void read_hex_file_once(ConversionState& state);
// 2. First pass: one empty row line for every flash row the image reaches.
void build_row_table(ConversionState& state);
// 3. Second pass: every data record's digits into its row lines.
void place_data(ConversionState& state);
// 4. Application checksum, metadata record, row checksums.
void add_checksums_and_metadata(ConversionState& state);
// 5. The row file, replaced atomically.
void write_row_file(ConversionState& state);

// One whole conversion with the paths from sys.argv: the five steps.
void run_conversion(PyObject* module);

}  // namespace rowmint
