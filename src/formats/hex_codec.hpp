// The "hex" codec's decoder as the conversion uses it: element 0 of
// hex_decoder(text). The standard decoder is run natively; a decoder that a
// caller put in its place is called.
#pragma once

#include "formats/core_arithmetic.hpp"
#include "formats/text.hpp"

#include <cstdint>
#include <vector>

namespace rowmint {

// Element 0 of a decoder's result: bytes held natively, or whatever object a
// caller's decoder returned.
struct Decoded {
    std::vector<std::uint8_t> bytes;
    Ref object;
    bool is_native() const { return !object; }
};

class HexDecoder {
public:
    explicit HexDecoder(Ref callable);

    bool is_standard() const { return standard_; }
    Decoded decode(const Text& digits) const;

private:
    Ref callable_;
    bool standard_;
};

// Decodes ASCII hex digits exactly as binascii does for the standard codec,
// raising its binascii.Error for an odd count or a non-hex digit. `out`
// takes digits.size() / 2 bytes.
void decode_hex_ascii(std::string_view digits, std::uint8_t* out);

// Sums of the bytes the digits spell, checked like decode_hex_ascii: of all
// of them, and of all but the last `tail` bytes.
HexByteSums sum_hex_ascii(std::string_view digits, size_t tail);

// data = hex_decoder(line[from:])[0] for a checksum, and the length of the
// tail that some sums leave out; kept as its two sums
// when the standard decoder and sum() are in place: no byte array then.
class RowBytes {
public:
    RowBytes(const HexDecoder& decoder, const Text& line, Py_ssize_t from, Py_ssize_t tail);

    // sum(data), or sum(data[:-tail]) when leave_out_tail is set.
    Ref sum_of_bytes(bool leave_out_tail) const;
    // sum(ord(c) for c in data), likewise.
    Ref sum_of_ords(bool leave_out_tail) const;

private:
    Py_ssize_t tail_;
    bool summed_ = false;
    HexByteSums sums_;
    Decoded data_;
};

}  // namespace rowmint
