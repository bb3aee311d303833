#include "formats/text.hpp"

#include <algorithm>

namespace rowmint {

SliceBounds clamp_slice(Py_ssize_t length, Py_ssize_t start, std::optional<Py_ssize_t> stop)
{
    auto clamp = [length](Py_ssize_t bound) {
        if (bound < 0) {
            bound += length;
        }
        return std::clamp<Py_ssize_t>(bound, 0, length);
    };
    return SliceBounds{clamp(start), stop ? clamp(*stop) : length};
}

Text Text::adopt(Ref object)
{
    if (std::optional<std::string> ascii = exact_ascii(object.get())) {
        return Text::ascii(std::move(*ascii));
    }
    return Text(std::string(), std::move(object));
}

Ref Text::object() const
{
    if (object_) {
        return object_;
    }
    return make_str(ascii_);
}

Text Text::slice(Py_ssize_t start, std::optional<Py_ssize_t> stop) const
{
    if (object_) {
        return adopt(rowmint::slice(object_.get(), start, stop));
    }
    SliceBounds bounds = clamp_slice(static_cast<Py_ssize_t>(ascii_.size()), start, stop);
    return Text::ascii(ascii_.substr(static_cast<size_t>(bounds.start), static_cast<size_t>(bounds.length())));
}

Py_ssize_t Text::slice_length(Py_ssize_t start, std::optional<Py_ssize_t> stop) const
{
    if (object_) {
        Ref piece = rowmint::slice(object_.get(), start, stop);
        Py_ssize_t size = PyObject_Size(piece.get());
        if (size < 0) {
            throw PythonError{};
        }
        return size;
    }
    return clamp_slice(static_cast<Py_ssize_t>(ascii_.size()), start, stop).length();
}

Text Text::concat(const Text& tail) const
{
    if (!object_ && !tail.object_) {
        return Text::ascii(ascii_ + tail.ascii_);
    }
    return adopt(add(object().get(), tail.object().get()));
}

}  // namespace rowmint
