#include "formats/hex_codec.hpp"

#include "capi/objects.hpp"

namespace rowmint {

bool decode_hex_ascii(std::string_view digits, std::uint8_t* out)
{
    return digits.size() % 2 == 0 && decode_hex_pairs(digits, out);
}

std::optional<HexByteSums> sum_hex_ascii(std::string_view digits, size_t tail)
{
    HexByteSums sums;
    if (digits.size() % 2 != 0 || !sum_hex_pairs(digits, tail, sums)) {
        return std::nullopt;
    }
    return sums;
}

Decoded call_hex_decoder(const Hooks& hooks, const Text& digits)
{
    Ref argument = digits.object();
    Ref pair = call(hooks.hex_decoder.callable.get(), argument.get());
    Decoded result;
    result.object = get_item(pair.get(), 0);
    return result;
}

Decoded hex_decode(const Hooks& hooks, const Text& digits)
{
    std::optional<std::string_view> ascii = digits.ascii_slice(0, std::nullopt);
    if (hooks.hex_decoder.is_standard && ascii) {
        Decoded result;
        result.bytes.resize(ascii->size() / 2);
        if (decode_hex_ascii(*ascii, result.bytes.data())) {
            return result;
        }
    }
    return call_hex_decoder(hooks, digits);
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
        sums_ = sum_hex_ascii(*digits, static_cast<size_t>(tail_));
        if (sums_) {
            return;
        }
        data_ = call_hex_decoder(hooks, line.slice(from, std::nullopt));
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
