#include "formats/hex_codec.hpp"

#include "capi/compat.hpp"
#include "capi/namespace.hpp"
#include "capi/objects.hpp"

namespace rowmint {
namespace {

// binascii's errors, in the order it meets them: an odd count before any
// digit is looked at.
void require_even_count(std::string_view digits)
{
    if (digits.size() % 2 != 0) {
        raise(captured_builtins().binascii_error.get(), "Odd-length string");
    }
}

void require_hex_digits(bool all_hex)
{
    if (!all_hex) {
        raise(captured_builtins().binascii_error.get(), "Non-hexadecimal digit found");
    }
}

}  // namespace

void decode_hex_ascii(std::string_view digits, std::uint8_t* out)
{
    require_even_count(digits);
    require_hex_digits(decode_hex_pairs(digits, out));
}

HexByteSums sum_hex_ascii(std::string_view digits, size_t tail)
{
    require_even_count(digits);
    HexByteSums sums;
    require_hex_digits(sum_hex_pairs(digits, tail, sums));
    return sums;
}

HexDecoder::HexDecoder(Ref callable)
    : callable_(std::move(callable)), standard_(callable_.get() == captured_builtins().hex_decoder.get())
{
}

Decoded HexDecoder::decode(const Text& digits) const
{
    Decoded result;
    std::optional<std::string_view> ascii = digits.ascii_slice(0, std::nullopt);
    if (standard_ && ascii) {
        result.bytes.resize(ascii->size() / 2);
        decode_hex_ascii(*ascii, result.bytes.data());
        return result;
    }
    Ref argument = digits.object();
    Ref pair = call(callable_.get(), argument.get());
    result.object = get_item(pair.get(), 0);
    return result;
}

namespace {

// data[:-tail] of a decoder's own result.
Ref without_tail(const Decoded& data, Py_ssize_t tail, bool leave_out_tail)
{
    if (data.is_native()) {
        Py_ssize_t size = static_cast<Py_ssize_t>(data.bytes.size());
        SliceBounds kept = clamp_slice(size, 0, leave_out_tail ? std::optional<Py_ssize_t>(-tail) : std::nullopt);
        return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.bytes.data()) + kept.start,
                                               kept.length()));
    }
    if (!leave_out_tail) {
        return data.object;
    }
    Ref stop = make_int(-tail);
    return slice(data.object.get(), Py_None, stop.get());
}

}  // namespace

RowBytes::RowBytes(const HexDecoder& decoder, const Text& line, Py_ssize_t from, Py_ssize_t tail) : tail_(tail)
{
    std::optional<std::string_view> digits = line.ascii_slice(from, std::nullopt);
    if (digits && decoder.is_standard() && captured_builtins().sum_is_standard) {
        summed_ = true;
        sums_ = sum_hex_ascii(*digits, static_cast<size_t>(tail_));
        return;
    }
    data_ = decoder.decode(line.slice(from, std::nullopt));
}

Ref RowBytes::sum_of_bytes(bool leave_out_tail) const
{
    if (summed_) {
        return make_int(leave_out_tail ? sums_.without_tail : sums_.all);
    }
    // A caller's decoder or sum(): sum(data) as Python code takes it.
    Ref part = without_tail(data_, tail_, leave_out_tail);
    return call(captured_builtins().sum.get(), part.get());
}

Ref RowBytes::sum_of_ords(bool leave_out_tail) const
{
    if (summed_) {
        size_t kept = sums_.count;
        if (leave_out_tail) {
            kept = kept > static_cast<size_t>(tail_) ? kept - static_cast<size_t>(tail_) : 0;
        }
        if (kept != 0) {
            raise_ord_of_int();  // the elements of bytes are ints
        }
        return make_int(0);
    }
    Ref part = without_tail(data_, tail_, leave_out_tail);
    return rowmint::sum_of_ords(part.get());
}

}  // namespace rowmint
