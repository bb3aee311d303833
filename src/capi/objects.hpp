// Thin, throwing wrappers over the C API calls the conversion makes on
// objects it does not control. Each mirrors one operation of the language
// so that a caller's stand-in objects see exactly the calls Python code would
// make on them.
#pragma once

#include "capi/ref.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace rowmint {

Ref make_str(std::string_view ascii);
Ref make_int(long long value);
Ref none();

Ref getattr(PyObject* object, const char* name);
// The attribute, or nothing when the object has none (AttributeError only:
// any other error raised by the lookup propagates).
std::optional<Ref> optional_attr(PyObject* object, const char* name);
bool truth(PyObject* object);
bool equals(PyObject* left, PyObject* right);
Ref add(PyObject* left, PyObject* right);
Ref get_item(PyObject* object, Py_ssize_t index);

// obj[start:stop] with Python's slicing of any object (stop may be None).
// A type without a subscript operation is reported as "unsliceable".
Ref slice(PyObject* object, PyObject* start, PyObject* stop);
Ref slice(PyObject* object, Py_ssize_t start, std::optional<Py_ssize_t> stop);

// Calls with positional arguments only.
Ref call(PyObject* callable);
Ref call(PyObject* callable, PyObject* a);
Ref call(PyObject* callable, PyObject* a, PyObject* b);
Ref call(PyObject* callable, PyObject* a, PyObject* b, PyObject* c, PyObject* d);
Ref call_method(PyObject* object, const char* name);
Ref call_method(PyObject* object, const char* name, PyObject* a);
Ref call_method(PyObject* object, const char* name, PyObject* a, PyObject* b);

// The text of an exact str when it is pure ASCII, as a view into `holder`,
// a bytes object made here; nothing otherwise (non-ASCII text and every
// other object take the generic route).
std::optional<std::string_view> exact_ascii_view(PyObject* object, Ref& holder);

// The type name as the interpreter prints it in messages ("int",
// "collections.OrderedDict"): the short name for classes defined in Python.
std::string type_name(PyObject* object);

// A Python int that fits a C++ long long, or nothing (other types, or too big).
std::optional<long long> exact_small_int(PyObject* object);
// An int's value as a long long; OverflowError past its range, on every
// platform alike.
long long int_value(PyObject* number);

}  // namespace rowmint
