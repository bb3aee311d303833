#include "formats/hex_buffer.hpp"

#include "capi/objects.hpp"

#include <cstring>

namespace rowmint {

std::optional<AsciiText> ascii_text(std::string_view bytes)
{
    const auto* text = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t size = bytes.size();
    // One branch-free sweep, which the compiler runs many bytes at a time.
    // Byte-wide accumulators keep it in byte lanes.
    unsigned char high_bits = 0;
    unsigned char lone_carriage_return = 0;
    for (size_t i = 0; i + 1 < size; ++i) {
        high_bits |= text[i];
        lone_carriage_return |= static_cast<unsigned char>((text[i] == '\r') & (text[i + 1] != '\n'));
    }
    if (size != 0) {
        high_bits |= text[size - 1];
        lone_carriage_return |= static_cast<unsigned char>(text[size - 1] == '\r');
    }
    if ((high_bits & 0x80) != 0) {
        return std::nullopt;
    }
    return AsciiText{bytes, lone_carriage_return != 0};
}

HexBufferLines::HexBufferLines(const AsciiText& text, PyObject* file)
    : rest_(text.text), file_(file), lone_carriage_return_(text.lone_carriage_return)
{
}

void HexBufferLines::close()
{
    if (file_ != nullptr) {
        call_method(file_, "close");
    }
}

void HexBufferLines::close_after_error() noexcept
{
    if (file_ == nullptr) {
        return;
    }
    PendingError keep_error;
    Ref closed = Ref::steal(PyObject_CallMethod(file_, "close", nullptr));
}

}  // namespace rowmint
