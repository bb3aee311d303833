#include "formats/text.hpp"

#include "capi/objects.hpp"

#include <cstring>

namespace rowmint {

// The core counts positions in Index, the interpreter in Py_ssize_t: they
// must be the same integers.
static_assert(sizeof(Index) == sizeof(Py_ssize_t) && PTRDIFF_MAX == PY_SSIZE_T_MAX,
              "Index and Py_ssize_t differ on this platform");

std::string& Text::own_ascii()
{
    if (borrowed_.data() != nullptr) {
        ascii_.assign(borrowed_.data(), borrowed_.size());
        borrowed_ = {};
    }
    return ascii_;
}

Text Text::adopt(Ref object)
{
    Text text;
    text.assign(std::move(object));
    return text;
}

void Text::assign(Ref object)
{
    Ref holder;
    if (std::optional<std::string_view> ascii = exact_ascii_view(object.get(), holder)) {
        assign_ascii(*ascii);
        return;
    }
    ascii_.clear();
    borrowed_ = {};
    object_ = std::move(object);
}

Ref Text::object() const
{
    if (object_) {
        return object_;
    }
    return make_str(native());
}

std::optional<std::string_view> Text::ascii_slice(Py_ssize_t start, std::optional<Py_ssize_t> stop) const
{
    if (object_) {
        return std::nullopt;
    }
    std::string_view text = native();
    SliceBounds bounds = clamp_slice(static_cast<Py_ssize_t>(text.size()), start, stop);
    return text.substr(static_cast<size_t>(bounds.start), static_cast<size_t>(bounds.length()));
}

Text Text::slice(Py_ssize_t start, std::optional<Py_ssize_t> stop) const
{
    if (object_) {
        return adopt(rowmint::slice(object_.get(), start, stop));
    }
    return Text::ascii(std::string(*ascii_slice(start, stop)));
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
    return clamp_slice(static_cast<Py_ssize_t>(native().size()), start, stop).length();
}

Text Text::concat(const Text& tail) const
{
    Text result = *this;
    result.append(tail);
    return result;
}

void Text::append(const Text& tail)
{
    if (is_native() && tail.is_native()) {
        own_ascii() += tail.native();
        return;
    }
    assign(add(object().get(), tail.object().get()));
}

namespace {

// The splice step by step through the object protocol, so that every object
// sees exactly the operations Python code makes on it, in the same order.
Ref splice_generic(PyObject* start, PyObject* lenth, PyObject* text, PyObject* repstr)
{
    Ref prefix_length = make_int(row_prefix_length);
    Ref cut = add(start, prefix_length.get());
    Ref zero = make_int(0);
    Ref head = slice(text, zero.get(), cut.get());
    Ref head_and_new = add(head.get(), repstr);
    Ref resume = add(cut.get(), lenth);
    Ref tail = slice(text, resume.get(), Py_None);
    return add(head_and_new.get(), tail.get());
}

std::optional<long long> small_position(PyObject* number)
{
    std::optional<long long> value = exact_small_int(number);
    if (value && is_native_position(*value)) {
        return value;
    }
    return std::nullopt;
}

}  // namespace

void Text::splice(long long start, long long lenth, const Text& source, Py_ssize_t from,
                  std::optional<Py_ssize_t> to)
{
    if (is_native() && source.is_native()) {
        std::string_view text = source.native();
        if (to && 0 <= from && from <= *to && static_cast<size_t>(*to) <= text.size()) {
            // A record's digits in place of as many digits of the line: no
            // bound to clamp (the usual case, once per piece of a record).
            std::string_view piece = text.substr(static_cast<size_t>(from), static_cast<size_t>(*to - from));
            std::string& line = own_ascii();
            long long at = start + row_prefix_length;
            if (lenth == static_cast<long long>(piece.size()) && 0 <= at &&
                at + lenth <= static_cast<long long>(line.size())) {
                std::memcpy(&line[static_cast<size_t>(at)], piece.data(), piece.size());
                return;
            }
        }
        if (std::optional<std::string_view> piece = source.ascii_slice(from, to)) {
            splice_ascii(start, lenth, own_ascii(), *piece);
            return;
        }
    }
    // A piece of non-ASCII text may itself be ASCII.
    Text piece = source.slice(from, to);
    if (is_native() && piece.is_native()) {
        splice_ascii(start, lenth, own_ascii(), piece.native());
        return;
    }
    Ref start_object = make_int(start);
    Ref lenth_object = make_int(lenth);
    assign(splice_generic(start_object.get(), lenth_object.get(), object().get(), piece.object().get()));
}

Ref splice_objects(PyObject* start, PyObject* lenth, PyObject* text, PyObject* repstr)
{
    std::optional<long long> start_value = small_position(start);
    std::optional<long long> lenth_value = small_position(lenth);
    if (start_value && lenth_value) {
        Ref holder;
        std::optional<std::string_view> line = exact_ascii_view(text, holder);
        Ref repstr_holder;
        std::optional<std::string_view> piece = line ? exact_ascii_view(repstr, repstr_holder) : std::nullopt;
        if (piece) {
            std::string result(*line);
            splice_ascii(*start_value, *lenth_value, result, *piece);
            return make_str(result);
        }
    }
    return splice_generic(start, lenth, text, repstr);
}

}  // namespace rowmint
