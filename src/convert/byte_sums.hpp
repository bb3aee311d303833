// The byte sums behind the checksums: sum(data) on Python 3, and the
// sum of ord(c) over data that the Python 2 branch asks for.
#pragma once

#include "formats/hex_codec.hpp"

namespace rowmint {

// sum(data), or sum(data[:-64]) when leave_out_metadata_area is set.
Ref sum_of_bytes(const Decoded& data, bool leave_out_metadata_area);
// sum(ord(c) for c in data), likewise.
Ref sum_of_ords(const Decoded& data, bool leave_out_metadata_area);

}  // namespace rowmint
