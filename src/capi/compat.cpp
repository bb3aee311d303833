#include "capi/compat.hpp"

#include "capi/namespace.hpp"

namespace rowmint {

[[noreturn]] void raise_name_error(const char* name) { raise(PyExc_NameError, "name '%s' is not defined", name); }

[[noreturn]] void raise_unsliceable(PyObject* object)
{
    std::string name = type_name(object);
    raise(PyExc_TypeError, "'%.200s' object is unsliceable", name.c_str());
}

[[noreturn]] void raise_no_row_line()
{
    raise(PyExc_TypeError, "list indices must be integers or slices, not NoneType");
}

// The messages are formatted here because recent interpreters prefix their
// own with the module name.
void require_no_arguments(const char* function, PyObject* args, PyObject* kwargs)
{
    if (kwargs != nullptr && PyDict_Size(kwargs) != 0) {
        raise(PyExc_TypeError, "%.200s() takes no keyword arguments", function);
    }
    Py_ssize_t given = PyTuple_Size(args);
    if (given != 0) {
        raise(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", function, given);
    }
}

namespace {

[[noreturn]] void raise_positional_count(const char* function, Py_ssize_t given)
{
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", function, "exactly",
          static_cast<Py_ssize_t>(4), "s", given);
}

Py_ssize_t parameter_index(const char* const names[4], PyObject* keyword)
{
    for (Py_ssize_t i = 0; i < 4; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, names[i]) == 0) {
            return i;
        }
    }
    return -1;
}

// Surplus keywords, in the order the caller passed them: the first one that
// does not name a parameter bound by keyword decides the error.
void reject_surplus_keywords(const char* function, const char* const names[4], PyObject* kwargs,
                             Py_ssize_t positional)
{
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
        if (!PyUnicode_Check(keyword)) {
            raise(PyExc_TypeError, "%.200s() keywords must be strings", function);
        }
        Py_ssize_t index = parameter_index(names, keyword);
        if (index >= positional) {
            continue;
        }
        if (index >= 0) {
            raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", function, keyword);
        }
        raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, keyword);
    }
}

}  // namespace

std::array<Ref, 4> bind_four_parameters(const char* function, const char* const names[4], PyObject* args,
                                        PyObject* kwargs)
{
    Py_ssize_t positional = PyTuple_Size(args);
    Py_ssize_t keyword_count = kwargs ? PyDict_Size(kwargs) : 0;
    if (keyword_count == 0 ? positional != 4 : positional > 4) {
        raise_positional_count(function, positional);
    }
    std::array<Ref, 4> bound;
    for (Py_ssize_t i = 0; i < positional; ++i) {
        bound[static_cast<size_t>(i)] = Ref::borrow(PyTuple_GetItem(args, i));
    }
    for (Py_ssize_t i = positional; i < 4; ++i) {
        bound[static_cast<size_t>(i)] = Ref::borrow(PyDict_GetItemString(kwargs, names[i]));
        if (!bound[static_cast<size_t>(i)]) {
            // A missing parameter is reported before any surplus keyword.
            raise_positional_count(function, i);
        }
    }
    if (keyword_count > 4 - positional) {
        reject_surplus_keywords(function, names, kwargs, positional);
    }
    return bound;
}

void bind_test_dict(PyObject* module)
{
    Ref test = check(PyDict_New());
    check_status(PyObject_SetAttrString(module, "__test__", test.get()));
}

void run_main_if_main_module(PyObject* module)
{
    Ref name = lookup_global(module, global_names::module_name);
    Ref main_name = make_str("__main__");
    if (!equals(name.get(), main_name.get())) {
        return;
    }
    // `exit` is fetched before main runs, and both names are looked up now,
    // not taken from the bindings the body made.
    Ref sys = lookup_global(module, global_names::sys);
    Ref exit = getattr(sys.get(), "exit");
    Ref main = lookup_global(module, global_names::main);
    Ref result = call(main.get());
    call(exit.get(), result.get());
}

}  // namespace rowmint
