#include "convert/byte_sums.hpp"

#include "formats/row_line.hpp"
#include "module/namespace.hpp"

namespace rowmint {
namespace {

// data[:-64] for the last row: its metadata area is not part of the sum.
Ref summed_part(const Decoded& data, bool leave_out_metadata_area)
{
    if (!leave_out_metadata_area) {
        return data.object;
    }
    Ref stop = make_int(-metadata_area_bytes);
    return slice(data.object.get(), Py_None, stop.get());
}

std::pair<size_t, size_t> native_range(const Decoded& data, bool leave_out_metadata_area)
{
    Py_ssize_t size = static_cast<Py_ssize_t>(data.bytes.size());
    SliceBounds bounds =
        clamp_slice(size, 0, leave_out_metadata_area ? std::optional<Py_ssize_t>(-metadata_area_bytes) : std::nullopt);
    return {static_cast<size_t>(bounds.start), static_cast<size_t>(bounds.start + bounds.length())};
}

// ord() of one element, with the builtin's own errors.
long ord_of(PyObject* element)
{
    if (PyUnicode_Check(element)) {
        Py_ssize_t length = PyUnicode_GetLength(element);
        if (length == 1) {
            return static_cast<long>(PyUnicode_ReadChar(element, 0));
        }
        PyErr_Format(PyExc_TypeError, "ord() expected a character, but string of length %zd found", length);
        throw PythonError{};
    }
    if (PyBytes_Check(element) || PyByteArray_Check(element)) {
        Py_ssize_t length = PyBytes_Check(element) ? PyBytes_Size(element) : PyByteArray_Size(element);
        if (length == 1) {
            const char* bytes = PyBytes_Check(element) ? PyBytes_AsString(element) : PyByteArray_AsString(element);
            return static_cast<unsigned char>(bytes[0]);
        }
        PyErr_Format(PyExc_TypeError, "ord() expected a character, but string of length %zd found", length);
        throw PythonError{};
    }
    std::string name = type_name(element);
    PyErr_Format(PyExc_TypeError, "ord() expected string of length 1, but %.200s found", name.c_str());
    throw PythonError{};
}

Ref sum_of_bytes(const Decoded& data, bool leave_out_metadata_area)
{
    const CapturedBuiltins& builtins = captured_builtins();
    if (data.is_native() && builtins.sum_is_standard) {
        auto [first, last] = native_range(data, leave_out_metadata_area);
        long long total = 0;
        for (size_t i = first; i < last; ++i) {
            total += data.bytes[i];
        }
        return make_int(total);
    }
    Ref part = data.is_native() ? Ref() : summed_part(data, leave_out_metadata_area);
    if (data.is_native()) {
        auto [first, last] = native_range(data, leave_out_metadata_area);
        part = check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.bytes.data()) + first,
                                               static_cast<Py_ssize_t>(last - first)));
    }
    return call(builtins.sum.get(), part.get());
}

Ref sum_of_ords(const Decoded& data, bool leave_out_metadata_area)
{
    Ref part;
    if (data.is_native()) {
        auto [first, last] = native_range(data, leave_out_metadata_area);
        part = check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.bytes.data()) + first,
                                               static_cast<Py_ssize_t>(last - first)));
    } else {
        part = summed_part(data, leave_out_metadata_area);
    }
    // The ords are taken as the elements come; the first element that is
    // not a one-character string fails as ord() would.
    Ref ords = check(PyList_New(0));
    Ref elements = check(PyObject_GetIter(part.get()));
    long long total = 0;
    while (PyObject* next = PyIter_Next(elements.get())) {
        Ref element = Ref::steal(next);
        long value = ord_of(element.get());
        total += value;
        Ref value_object = make_int(value);
        check_status(PyList_Append(ords.get(), value_object.get()));
    }
    if (PyErr_Occurred()) {
        throw PythonError{};
    }
    const CapturedBuiltins& builtins = captured_builtins();
    if (builtins.sum_is_standard) {
        return make_int(total);
    }
    return call(builtins.sum.get(), ords.get());
}

}  // namespace

RowBytes::RowBytes(const HexDecoder& decoder, const Text& line, Py_ssize_t from)
{
    if (line.is_native() && decoder.is_standard() && captured_builtins().sum_is_standard) {
        summed_ = true;
        sums_ = sum_hex_ascii(line.native_slice(from, std::nullopt), metadata_area_bytes);
        return;
    }
    data_ = decoder.decode(line.slice(from, std::nullopt));
}

Ref RowBytes::sum_of_bytes(bool leave_out_metadata_area) const
{
    if (summed_) {
        return make_int(leave_out_metadata_area ? sums_.without_tail : sums_.all);
    }
    return rowmint::sum_of_bytes(data_, leave_out_metadata_area);
}

Ref RowBytes::sum_of_ords(bool leave_out_metadata_area) const
{
    if (summed_) {
        size_t count = leave_out_metadata_area ? (sums_.count > 64 ? sums_.count - 64 : 0) : sums_.count;
        if (count != 0) {
            // The elements of bytes are ints, which ord() refuses.
            PyErr_Format(PyExc_TypeError, "ord() expected string of length 1, but %.200s found", "int");
            throw PythonError{};
        }
        return make_int(0);
    }
    return rowmint::sum_of_ords(data_, leave_out_metadata_area);
}

}  // namespace rowmint
