#include "capi/objects.hpp"

#include "capi/compat.hpp"

#include <cstdarg>

namespace rowmint {

[[noreturn]] void raise(PyObject* type, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    throw PythonError{};
}

[[noreturn]] void raise_object(PyObject* type, PyObject* value)
{
    PyErr_SetObject(type, value);
    throw PythonError{};
}

PyObject* Name::object() const
{
    if (!object_) {
        object_.reset(check(PyUnicode_InternFromString(text_)));
    }
    return object_.get();
}

Ref make_str(std::string_view ascii)
{
    return check(PyUnicode_FromStringAndSize(ascii.data(), static_cast<Py_ssize_t>(ascii.size())));
}

Ref make_int(long long value) { return check(PyLong_FromLongLong(value)); }

Ref none() { return Ref::borrow(Py_None); }

Ref getattr(PyObject* object, const char* name) { return check(PyObject_GetAttrString(object, name)); }

std::optional<Ref> optional_attr(PyObject* object, const char* name)
{
    PyObject* value = PyObject_GetAttrString(object, name);
    if (value != nullptr) {
        return Ref::steal(value);
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        throw PythonError{};
    }
    PyErr_Clear();
    return std::nullopt;
}

bool truth(PyObject* object) { return check_status(PyObject_IsTrue(object)) != 0; }

bool equals(PyObject* left, PyObject* right)
{
    return check_status(PyObject_RichCompareBool(left, right, Py_EQ)) != 0;
}

Ref add(PyObject* left, PyObject* right) { return check(PyNumber_Add(left, right)); }

Ref get_item(PyObject* object, Py_ssize_t index)
{
    Ref key = check(PyLong_FromSsize_t(index));
    return check(PyObject_GetItem(object, key.get()));
}

Ref slice(PyObject* object, PyObject* start, PyObject* stop)
{
    // Only types with a subscript operation can be sliced; the message is
    // the one this module has always given for the others.
    if (!PyMapping_Check(object)) {
        raise_unsliceable(object);
    }
    Ref range = check(PySlice_New(start, stop, nullptr));
    return check(PyObject_GetItem(object, range.get()));
}

Ref slice(PyObject* object, Py_ssize_t start, std::optional<Py_ssize_t> stop)
{
    Ref start_object = check(PyLong_FromSsize_t(start));
    Ref stop_object = stop ? check(PyLong_FromSsize_t(*stop)) : none();
    return slice(object, start_object.get(), stop_object.get());
}

Ref call(PyObject* callable) { return check(PyObject_CallFunctionObjArgs(callable, nullptr)); }

Ref call(PyObject* callable, PyObject* a) { return check(PyObject_CallFunctionObjArgs(callable, a, nullptr)); }

Ref call(PyObject* callable, PyObject* a, PyObject* b)
{
    return check(PyObject_CallFunctionObjArgs(callable, a, b, nullptr));
}

Ref call(PyObject* callable, PyObject* a, PyObject* b, PyObject* c, PyObject* d)
{
    return check(PyObject_CallFunctionObjArgs(callable, a, b, c, d, nullptr));
}

Ref call_method(PyObject* object, const char* name)
{
    Ref method = getattr(object, name);
    return call(method.get());
}

Ref call_method(PyObject* object, const char* name, PyObject* a)
{
    Ref method = getattr(object, name);
    return call(method.get(), a);
}

Ref call_method(PyObject* object, const char* name, PyObject* a, PyObject* b)
{
    Ref method = getattr(object, name);
    return call(method.get(), a, b);
}

std::optional<std::string_view> exact_ascii_view(PyObject* object, Ref& holder)
{
    if (!PyUnicode_CheckExact(object)) {
        return std::nullopt;
    }
    Py_ssize_t length = PyUnicode_GetLength(object);
    if (length < 0) {
        throw PythonError{};
    }
    // The 3.7 stable ABI reaches a str's characters only through a copy; the
    // UTF-8 one is the cheapest, and it is exactly as long as the text when
    // the text is ASCII.
    holder = Ref::steal(PyUnicode_AsUTF8String(object));
    if (!holder) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            throw PythonError{};
        }
        PyErr_Clear();  // lone surrogates: not ASCII, the generic route copes
        return std::nullopt;
    }
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    check_status(PyBytes_AsStringAndSize(holder.get(), &bytes, &size));
    if (size != length) {
        return std::nullopt;
    }
    return std::string_view(bytes, static_cast<size_t>(size));
}

std::string type_name(PyObject* object)
{
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    Ref name = getattr(type, "__name__");
    Ref name_bytes = check(PyUnicode_AsUTF8String(name.get()));
    std::string text = PyBytes_AsString(name_bytes.get());
    // Types defined in C carry their module in the name they print.
    unsigned long flags = PyType_GetFlags(reinterpret_cast<PyTypeObject*>(type));
    if ((flags & Py_TPFLAGS_HEAPTYPE) == 0) {
        std::optional<Ref> module = optional_attr(type, "__module__");
        if (module && PyUnicode_Check(module->get()) &&
            PyUnicode_CompareWithASCIIString(module->get(), "builtins") != 0) {
            Ref module_bytes = check(PyUnicode_AsUTF8String(module->get()));
            text = std::string(PyBytes_AsString(module_bytes.get())) + "." + text;
        }
    }
    return text;
}

std::optional<long long> exact_small_int(PyObject* object)
{
    if (!PyLong_CheckExact(object)) {
        return std::nullopt;
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (overflow != 0) {
        return std::nullopt;
    }
    if (value == -1 && PyErr_Occurred()) {
        throw PythonError{};
    }
    return value;
}

long long int_value(PyObject* number)
{
    long long value = PyLong_AsLongLong(number);
    if (value == -1 && PyErr_Occurred()) {
        throw PythonError{};
    }
    return value;
}

}  // namespace rowmint
