// Text of the conversion: a record, a row line, a piece of either. It is
// held as plain ASCII in C++ while it is what the HEX file and this module
// produce; it becomes a Python object only where a caller's own function
// handed one back (or the text holds non-ASCII characters), and every
// operation on such an object goes through the interpreter, so a caller's
// objects behave exactly as they would in Python code.
#pragma once

#include "capi/objects.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace rowmint {

// Python's clamping of slice bounds for a sequence of the given length.
struct SliceBounds {
    Py_ssize_t start;
    Py_ssize_t stop;
    Py_ssize_t length() const { return stop > start ? stop - start : 0; }
};
inline SliceBounds clamp_slice(Py_ssize_t length, Py_ssize_t start, std::optional<Py_ssize_t> stop)
{
    auto clamp = [length](Py_ssize_t bound) {
        if (bound < 0) {
            bound += length;
        }
        return bound < 0 ? 0 : (bound > length ? length : bound);
    };
    return SliceBounds{clamp(start), stop ? clamp(*stop) : length};
}

class Text {
public:
    Text() = default;
    static Text ascii(std::string text) { return Text(std::move(text), Ref()); }
    // Turns this text into the str object's ASCII text when it is one,
    // reusing this text's buffer; into the object otherwise.
    void assign(Ref object);
    void assign_native(std::string_view ascii)
    {
        ascii_.assign(ascii.data(), ascii.size());
        object_ = Ref();
    }
    // Keeps an exact ASCII str as native text, anything else as the object.
    static Text adopt(Ref object);

    bool is_native() const { return !object_; }
    const std::string& native() const { return ascii_; }
    std::string& native() { return ascii_; }

    // The text as a Python object (a new str for native text).
    Ref object() const;

    // text[start:stop] (stop absent: to the end).
    Text slice(Py_ssize_t start, std::optional<Py_ssize_t> stop) const;
    // The same piece of native text, without a copy.
    std::string_view native_slice(Py_ssize_t start, std::optional<Py_ssize_t> stop) const;
    // len(text[start:stop]), without building the piece when native.
    Py_ssize_t slice_length(Py_ssize_t start, std::optional<Py_ssize_t> stop) const;
    // text + tail, with Python's concatenation when either side is an object.
    Text concat(const Text& tail) const;

private:
    Text(std::string ascii, Ref object) : ascii_(std::move(ascii)), object_(std::move(object)) {}
    std::string ascii_;
    Ref object_;
};

}  // namespace rowmint
