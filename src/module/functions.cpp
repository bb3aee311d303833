#include "module/functions.hpp"

#include "capi/compat.hpp"
#include "capi/objects.hpp"
#include "convert/conversion.hpp"

namespace rowmint {
namespace {

// main(): one whole conversion; it takes nothing, its input is sys.argv.
PyObject* main_entry(PyObject* module, PyObject* args, PyObject* kwargs)
{
    return guarded_entry([&] {
        require_no_arguments("main", args, kwargs);
        run_conversion(module);
        return none();
    });
}

// replace(start, lenth, str, repstr): str with the `lenth` characters from
// character start + 11 on exchanged for repstr. Positions count data-field
// digits of a row line; 11 skips the row line prefix.
PyObject* replace_entry(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* const parameters[4] = {"start", "lenth", "str", "repstr"};
    return guarded_entry([&] {
        std::array<Ref, 4> bound = bind_four_parameters("replace", parameters, args, kwargs);
        return splice_objects(bound[0].get(), bound[1].get(), bound[2].get(), bound[3].get());
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
