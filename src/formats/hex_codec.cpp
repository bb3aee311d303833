#include "formats/hex_codec.hpp"

#include "capi/objects.hpp"

namespace rowmint {
namespace {

// binascii's errors, in the order it meets them: an odd count before any
// digit is looked at.
void require_even_count(std::string_view digits, PyObject* codec_error)
{
    if (digits.size() % 2 != 0) {
        raise(codec_error, "Odd-length string");
    }
}

void require_hex_digits(bool all_hex, PyObject* codec_error)
{
    if (!all_hex) {
        raise(codec_error, "Non-hexadecimal digit found");
    }
}

}  // namespace

void decode_hex_ascii(std::string_view digits, std::uint8_t* out, PyObject* codec_error)
{
    require_even_count(digits, codec_error);
    require_hex_digits(decode_hex_pairs(digits, out), codec_error);
}

HexByteSums sum_hex_ascii(std::string_view digits, size_t tail, PyObject* codec_error)
{
    require_even_count(digits, codec_error);
    HexByteSums sums;
    require_hex_digits(sum_hex_pairs(digits, tail, sums), codec_error);
    return sums;
}

Decoded hex_decode(const Hooks& hooks, const Text& digits)
{
    Decoded result;
    std::optional<std::string_view> ascii = digits.ascii_slice(0, std::nullopt);
    if (hooks.hex_decoder.is_standard && ascii) {
        result.bytes.resize(ascii->size() / 2);
        decode_hex_ascii(*ascii, result.bytes.data(), hooks.codec_error.get());
        return result;
    }
    Ref argument = digits.object();
    Ref pair = call(hooks.hex_decoder.callable.get(), argument.get());
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

RowBytes::RowBytes(const Hooks& hooks, const Text& line, Py_ssize_t from, Py_ssize_t tail)
    : hooks_(hooks), tail_(tail)
{
    std::optional<std::string_view> digits = line.ascii_slice(from, std::nullopt);
    if (digits && hooks.hex_decoder.is_standard && hooks.sum.is_standard) {
        sums_ = sum_hex_ascii(*digits, static_cast<size_t>(tail_), hooks.codec_error.get());
        return;
    }
    data_ = hex_decode(hooks, line.slice(from, std::nullopt));
}

RowBytes::RowBytes(const Hooks& hooks, const HexByteSums& sums, Py_ssize_t tail)
    : hooks_(hooks), tail_(tail), sums_(sums)
{
}

size_t RowBytes::count(bool leave_out_tail) const
{
    size_t all = sums_->count;
    size_t tail = static_cast<size_t>(tail_);
    return !leave_out_tail ? all : (all > tail ? all - tail : 0);
}

Ref RowBytes::object(bool leave_out_tail) const { return without_tail(data_, tail_, leave_out_tail); }

Ref RowBytes::sum_of_bytes(bool leave_out_tail) const
{
    if (sums_) {
        return make_int(leave_out_tail ? sums_->without_tail : sums_->all);
    }
    // A caller's decoder or sum(): sum(data) as Python code takes it.
    Ref part = object(leave_out_tail);
    return call(hooks_.sum.callable.get(), part.get());
}

}  // namespace rowmint
