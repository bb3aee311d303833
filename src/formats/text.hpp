// Text of the conversion: a record, a row line, a piece of either. It is
// held as plain ASCII in C++ while it is what the HEX file and this module
// produce; it becomes a Python object only where a caller's own function
// handed one back (or the text holds non-ASCII characters), and every
// operation on such an object goes through the interpreter, so a caller's
// objects behave exactly as they would in Python code. Callers never need to
// know which of the two a Text is.
#pragma once

#include "capi/ref.hpp"
#include "formats/core_arithmetic.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace rowmint {

class Text {
public:
    Text() = default;
    static Text ascii(std::string text) { return Text(std::move(text), Ref()); }
    // Keeps an exact ASCII str as native text, anything else as the object.
    static Text adopt(Ref object);
    // The same, reusing this text's buffer.
    void assign(Ref object);
    void assign_ascii(std::string_view ascii)
    {
        ascii_.assign(ascii.data(), ascii.size());
        borrowed_ = {};
        object_ = Ref();
    }
    // Takes ASCII text without a copy: it must outlive every use of this
    // text (a record read in place uses it only while its line is current).
    // A change to the text copies it first.
    void borrow_ascii(std::string_view ascii)
    {
        borrowed_ = ascii.data() != nullptr ? ascii : std::string_view("", 0);
        object_ = Ref();
    }

    // The text as a Python object (a new str for native text).
    Ref object() const;
    // The ASCII text of text[start:stop] when the text is native, without a
    // copy; nothing when it is an object.
    std::optional<std::string_view> ascii_slice(Py_ssize_t start, std::optional<Py_ssize_t> stop) const;

    // text[start:stop] (stop absent: to the end).
    Text slice(Py_ssize_t start, std::optional<Py_ssize_t> stop) const;
    // len(text[start:stop]), without building the piece when native.
    Py_ssize_t slice_length(Py_ssize_t start, std::optional<Py_ssize_t> stop) const;
    // text + tail, with Python's concatenation when either side is an object.
    Text concat(const Text& tail) const;
    void append(const Text& tail);

    // text = replace(start, lenth, text, source[from:to]): the module's own
    // splice, in place.
    void splice(long long start, long long lenth, const Text& source, Py_ssize_t from, std::optional<Py_ssize_t> to);

private:
    Text(std::string ascii, Ref object) : ascii_(std::move(ascii)), object_(std::move(object)) {}
    bool is_native() const { return !object_; }
    std::string_view native() const { return borrowed_.data() != nullptr ? borrowed_ : std::string_view(ascii_); }
    // Native text of its own, ready to change.
    std::string& own_ascii();

    std::string ascii_;
    std::string_view borrowed_;  // the text, when borrowed (its data is never null then)
    Ref object_;
};

// replace(start, lenth, str, repstr) on any objects:
// str[:start + 11] + repstr + str[start + 11 + lenth:], with the language's
// own addition, slicing and concatenation; in C++ for ints and ASCII str.
Ref splice_objects(PyObject* start, PyObject* lenth, PyObject* text, PyObject* repstr);

}  // namespace rowmint
