// The "hex" codec's decoder as the conversion uses it: element 0 of
// hex_decoder(text). The standard decoder is run natively on valid digits;
// a decoder that a caller put in its place, and the standard one on digits
// the native reading refuses, are called.
#pragma once

#include "formats/core_arithmetic.hpp"
#include "formats/hooks.hpp"
#include "formats/text.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace rowmint {

// Element 0 of a decoder's result: bytes held natively, or whatever object a
// caller's decoder returned.
struct Decoded {
    std::vector<std::uint8_t> bytes;
    Ref object;
    bool is_native() const { return !object; }
};

// Element 0 of hex_decoder(digits).
Decoded hex_decode(const Hooks& hooks, const Text& digits);

// Element 0 of hex_decoder(digits), always by calling the decoder: where the
// native reading finds a fault, the interpreter's own decoder names it (its
// type, text and which fault comes first vary between releases), or, should
// it accept the digits, its result is used.
Decoded call_hex_decoder(const Hooks& hooks, const Text& digits);

// Decodes ASCII hex digits as the standard codec does; false, with `out`
// unspecified, for an odd count or a non-hex digit. `out` takes
// digits.size() / 2 bytes.
bool decode_hex_ascii(std::string_view digits, std::uint8_t* out);

// Sums of the bytes the digits spell: of all of them, and of all but the
// last `tail` bytes. None for an odd count or a non-hex digit.
std::optional<HexByteSums> sum_hex_ascii(std::string_view digits, size_t tail);

// data = hex_decoder(line[from:])[0] for a checksum, and the length of the
// tail that some sums leave out. Kept as its sums when the standard decoder
// and sum() are in place (no byte array then), else as the decoder's result.
class RowBytes {
public:
    RowBytes(const Hooks& hooks, const Text& line, Py_ssize_t from, Py_ssize_t tail);
    // Bytes whose sums are known already.
    RowBytes(const Hooks& hooks, const HexByteSums& sums, Py_ssize_t tail);

    // The sums, when the bytes are kept as such.
    const std::optional<HexByteSums>& sums() const { return sums_; }
    // How many bytes data[:-tail] (leave_out_tail) or data holds; only for
    // bytes kept as their sums.
    size_t count(bool leave_out_tail) const;
    // data, or data[:-tail] when leave_out_tail is set, as an object; only
    // for bytes kept as the decoder's result.
    Ref object(bool leave_out_tail) const;
    // sum(data), or sum(data[:-tail]).
    Ref sum_of_bytes(bool leave_out_tail) const;

private:
    const Hooks& hooks_;
    Py_ssize_t tail_;
    std::optional<HexByteSums> sums_;
    Decoded data_;
};

}  // namespace rowmint
