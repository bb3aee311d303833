// Reading the HEX file line by line, as both passes do.
#pragma once

#include "capi/ref.hpp"

#include <functional>

namespace rowmint {

class HexDecoder;
struct HexRecord;

// Reads the open HEX file from where it stands and hands each line, as a
// record, to `take`, numbered from 1; stops early when `take` returns false.
// Then calls the file's close(). When reading or `take` fails, the
// interpreter's own file is closed and the error travels on, with a note
// naming the line when its message does not.
void read_hex_records(PyObject* file, const HexDecoder& decoder, const std::function<bool(const HexRecord&)>& take);

}  // namespace rowmint
