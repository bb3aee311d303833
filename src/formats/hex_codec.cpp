#include "formats/hex_codec.hpp"

namespace rowmint {
namespace {

// The decoder that the codec registry hands out for "hex"; the registry
// caches it, so identity tells the standard decoder from a substitute.
PyObject* standard_decoder()
{
    static KeptRef kept;
    if (!kept) {
        Ref codecs = check(PyImport_ImportModule("codecs"));
        Ref getdecoder = getattr(codecs.get(), "getdecoder");
        Ref name = make_str("hex");
        kept.reset(call(getdecoder.get(), name.get()));
    }
    return kept.get();
}

PyObject* binascii_error()
{
    static KeptRef kept;
    if (!kept) {
        Ref binascii = check(PyImport_ImportModule("binascii"));
        kept.reset(getattr(binascii.get(), "Error"));
    }
    return kept.get();
}

}  // namespace

int hex_digit_value(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

void decode_hex_ascii(const std::string& digits, std::vector<std::uint8_t>& out)
{
    out.clear();
    if (digits.size() % 2 != 0) {
        raise(binascii_error(), "Odd-length string");
    }
    out.reserve(digits.size() / 2);
    for (size_t i = 0; i < digits.size(); i += 2) {
        int high = hex_digit_value(digits[i]);
        int low = hex_digit_value(digits[i + 1]);
        if (high < 0 || low < 0) {
            raise(binascii_error(), "Non-hexadecimal digit found");
        }
        out.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
}

HexDecoder::HexDecoder(Ref callable)
    : callable_(std::move(callable)), standard_(callable_.get() == standard_decoder())
{
}

Decoded HexDecoder::decode(const Text& digits) const
{
    Decoded result;
    if (standard_ && digits.is_native()) {
        decode_hex_ascii(digits.native(), result.bytes);
        return result;
    }
    Ref argument = digits.object();
    Ref pair = call(callable_.get(), argument.get());
    result.object = get_item(pair.get(), 0);
    return result;
}

}  // namespace rowmint
