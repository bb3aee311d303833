#include "module/replace.hpp"

#include "capi/entry.hpp"
#include "capi/objects.hpp"
#include "formats/row_line.hpp"

#include <array>

namespace rowmint {
namespace {

constexpr long long int_limit = 1LL << 60;  // beyond this, leave the arithmetic to Python ints

Ref replace_generic(PyObject* start, PyObject* lenth, PyObject* text, PyObject* repstr)
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

// int, int, str, str: the same result with the str functions of the C API.
Ref replace_str(long long start, long long lenth, PyObject* text, PyObject* repstr)
{
    Py_ssize_t length = PyUnicode_GetLength(text);
    if (length < 0) {
        throw PythonError{};
    }
    long long cut = start + row_prefix_length;
    SliceBounds head = clamp_slice(length, 0, static_cast<Py_ssize_t>(cut));
    SliceBounds tail = clamp_slice(length, static_cast<Py_ssize_t>(cut + lenth), std::nullopt);
    Ref head_text = check(PyUnicode_Substring(text, 0, head.stop));
    Ref tail_text = check(PyUnicode_Substring(text, tail.start, length));
    Ref head_and_new = check(PyUnicode_Concat(head_text.get(), repstr));
    return check(PyUnicode_Concat(head_and_new.get(), tail_text.get()));
}

bool within_limit(const std::optional<long long>& value)
{
    return value && *value > -int_limit && *value < int_limit;
}

}  // namespace

Ref replace_objects(PyObject* start, PyObject* lenth, PyObject* text, PyObject* repstr)
{
    std::optional<long long> start_value = exact_small_int(start);
    std::optional<long long> lenth_value = exact_small_int(lenth);
    if (within_limit(start_value) && within_limit(lenth_value) && PyUnicode_CheckExact(text) &&
        PyUnicode_CheckExact(repstr)) {
        return replace_str(*start_value, *lenth_value, text, repstr);
    }
    return replace_generic(start, lenth, text, repstr);
}

void replace_text(long long start, long long lenth, Text& text, const Text& repstr)
{
    if (!text.is_native() || !repstr.is_native()) {
        Ref start_object = make_int(start);
        Ref lenth_object = make_int(lenth);
        Ref text_object = text.object();
        Ref repstr_object = repstr.object();
        text = Text::adopt(
            replace_objects(start_object.get(), lenth_object.get(), text_object.get(), repstr_object.get()));
        return;
    }
    replace_native(start, lenth, text.native(), repstr.native());
}

void replace_native(long long start, long long lenth, std::string& line, std::string_view repstr)
{
    Py_ssize_t length = static_cast<Py_ssize_t>(line.size());
    long long cut = start + row_prefix_length;
    SliceBounds head = clamp_slice(length, 0, static_cast<Py_ssize_t>(cut));
    SliceBounds tail = clamp_slice(length, static_cast<Py_ssize_t>(cut + lenth), std::nullopt);
    if (tail.start >= head.stop) {
        // The usual case: a stretch of the line exchanged where it stands.
        line.replace(static_cast<size_t>(head.stop), static_cast<size_t>(tail.start - head.stop), repstr);
        return;
    }
    // A negative lenth repeats the characters between the two cuts.
    std::string result = line.substr(0, static_cast<size_t>(head.stop));
    result.append(repstr);
    result.append(line, static_cast<size_t>(tail.start), std::string::npos);
    line = std::move(result);
}

namespace {

constexpr std::array<const char*, 4> parameter_names = {"start", "lenth", "str", "repstr"};

[[noreturn]] void raise_positional_count(Py_ssize_t given)
{
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", "replace", "exactly",
                 static_cast<Py_ssize_t>(4), "s", given);
    throw PythonError{};
}

int parameter_index(PyObject* keyword)
{
    for (size_t i = 0; i < parameter_names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, parameter_names[i]) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Surplus keywords, in the order the caller passed them: the first one that
// does not name a parameter bound by keyword decides the error.
void reject_surplus_keywords(PyObject* kwargs, Py_ssize_t positional)
{
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", "replace");
            throw PythonError{};
        }
        int index = parameter_index(keyword);
        if (index >= positional) {
            continue;
        }
        if (index >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", "replace", keyword);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", "replace", keyword);
        }
        throw PythonError{};
    }
}

std::array<PyObject*, 4> bind_arguments(PyObject* args, PyObject* kwargs)
{
    Py_ssize_t positional = PyTuple_Size(args);
    Py_ssize_t keyword_count = kwargs ? PyDict_Size(kwargs) : 0;
    if (keyword_count == 0 ? positional != 4 : positional > 4) {
        raise_positional_count(positional);
    }
    std::array<PyObject*, 4> bound{};  // borrowed from args and kwargs
    for (Py_ssize_t i = 0; i < positional; ++i) {
        bound[static_cast<size_t>(i)] = PyTuple_GetItem(args, i);
    }
    for (Py_ssize_t i = positional; i < 4; ++i) {
        PyObject* value = PyDict_GetItemString(kwargs, parameter_names[static_cast<size_t>(i)]);
        if (value == nullptr) {
            raise_positional_count(i);
        }
        bound[static_cast<size_t>(i)] = value;
    }
    if (keyword_count > 4 - positional) {
        reject_surplus_keywords(kwargs, positional);
    }
    return bound;
}

}  // namespace

PyObject* replace_entry(PyObject*, PyObject* args, PyObject* kwargs)
{
    return guarded_entry([&] {
        std::array<PyObject*, 4> bound = bind_arguments(args, kwargs);
        return replace_objects(bound[0], bound[1], bound[2], bound[3]);
    });
}

}  // namespace rowmint
