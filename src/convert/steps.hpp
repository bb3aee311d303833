// The steps of a conversion, in the order main runs them.
#pragma once

#include "convert/conversion_state.hpp"

namespace rowmint {

// Reads the command line, runs the object-copy tool, opens the HEX file.
void open_hex_file(ConversionState& state);
// First pass: one empty row line for every flash row the image reaches.
void build_row_table(ConversionState& state);
// Second pass: every data record's digits into its row lines.
void place_data(ConversionState& state);
// Application checksum, metadata record, row checksums.
void add_checksums_and_metadata(ConversionState& state);
// The row file, replaced atomically.
void write_row_file(ConversionState& state);

}  // namespace rowmint
