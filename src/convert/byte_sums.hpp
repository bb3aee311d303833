// The byte sums behind the checksums: sum(data) on Python 3, and the
// sum of ord(c) over data that the Python 2 branch asks for.
#pragma once

#include "formats/hex_codec.hpp"
#include "formats/text.hpp"

namespace rowmint {

// data = hex_decoder(row line[from:])[0], kept as its two sums when the
// standard decoder and sum() are in place: no byte array is needed then.
class RowBytes {
public:
    RowBytes(const HexDecoder& decoder, const Text& line, Py_ssize_t from);

    // sum(data), or sum(data[:-64]) when leave_out_metadata_area is set.
    Ref sum_of_bytes(bool leave_out_metadata_area) const;
    // sum(ord(c) for c in data), likewise.
    Ref sum_of_ords(bool leave_out_metadata_area) const;

private:
    bool summed_ = false;
    HexByteSums sums_;
    Decoded data_;
};

}  // namespace rowmint
