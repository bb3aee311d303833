#include "module/functions.hpp"

#include "capi/entry.hpp"
#include "capi/objects.hpp"
#include "convert/main.hpp"
#include "module/replace.hpp"

namespace rowmint {
namespace {

// main() takes nothing: its input is sys.argv. The messages are formatted
// here because recent interpreters prefix their own with the module name.
PyObject* main_entry(PyObject* module, PyObject* args, PyObject* kwargs)
{
    return guarded_entry([&] {
        if (kwargs != nullptr && PyDict_Size(kwargs) != 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", "main");
            throw PythonError{};
        }
        Py_ssize_t given = PyTuple_Size(args);
        if (given != 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", "main", given);
            throw PythonError{};
        }
        run_conversion(module);
        return none();
    });
}

// No docstrings: both functions are documented in the README.
PyMethodDef replace_definition = {"replace", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(replace_entry)),
                                  METH_VARARGS | METH_KEYWORDS, nullptr};
PyMethodDef main_definition = {"main", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(main_entry)),
                               METH_VARARGS | METH_KEYWORDS, nullptr};

Ref make_function(PyMethodDef* definition, PyObject* module)
{
    Ref module_name = check(PyModule_GetNameObject(module));
    return check(PyCFunction_NewEx(definition, module, module_name.get()));
}

}  // namespace

Ref make_replace_function(PyObject* module) { return make_function(&replace_definition, module); }

Ref make_main_function(PyObject* module) { return make_function(&main_definition, module); }

}  // namespace rowmint
