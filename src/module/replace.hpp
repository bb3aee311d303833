// replace(start, lenth, str, repstr): str with the `lenth` characters from
// character start + 11 on exchanged for repstr. Positions count data-field
// digits of a row line; 11 skips the row line prefix.
#pragma once

#include "capi/ref.hpp"
#include "formats/text.hpp"

namespace rowmint {

// The splice on whatever objects it is given, with the language's own
// addition, slicing and concatenation.
Ref replace_objects(PyObject* start, PyObject* lenth, PyObject* text, PyObject* repstr);

// The same splice on conversion text, in place: in C++ when both texts are
// native.
void replace_text(long long start, long long lenth, Text& text, const Text& repstr);
void replace_native(long long start, long long lenth, std::string& text, std::string_view repstr);

// The C function behind the module's `replace`.
PyObject* replace_entry(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace rowmint
