#include "formats/text.hpp"


namespace rowmint {

Text Text::adopt(Ref object)
{
    if (std::optional<std::string> ascii = exact_ascii(object.get())) {
        return Text::ascii(std::move(*ascii));
    }
    return Text(std::string(), std::move(object));
}

void Text::assign(Ref object)
{
    if (exact_ascii_into(object.get(), ascii_)) {
        object_ = Ref();
        return;
    }
    ascii_.clear();
    object_ = std::move(object);
}

std::string_view Text::native_slice(Py_ssize_t start, std::optional<Py_ssize_t> stop) const
{
    SliceBounds bounds = clamp_slice(static_cast<Py_ssize_t>(ascii_.size()), start, stop);
    return std::string_view(ascii_).substr(static_cast<size_t>(bounds.start), static_cast<size_t>(bounds.length()));
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
    return Text::ascii(std::string(native_slice(start, stop)));
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
