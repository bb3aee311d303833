// The module definition: multi-phase initialisation with a create step that
// hands out the one module object of the process, and an exec step that runs
// the module body once.
#include "capi/objects.hpp"
#include "module/body.hpp"

namespace rowmint {
namespace {

// The body runs once per process: importing again after the module was
// removed from sys.modules yields this same object, with nothing run again.
KeptRef the_module;
bool body_has_run = false;

PyObject* create_module(PyObject* spec, PyModuleDef*)
{
    if (the_module) {
        return Ref::borrow(the_module.get()).release();
    }
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) {
        return nullptr;
    }
    Ref owned_name = Ref::steal(name);
    PyObject* module = PyModule_NewObject(owned_name.get());
    if (module != nullptr) {
        the_module.reset(Ref::borrow(module));
    }
    return module;
}

int exec_module(PyObject* module)
{
    if (body_has_run && module == the_module.get()) {
        return 0;
    }
    body_has_run = true;
    if (run_module_body(module) < 0) {
        // A failed import leaves nothing behind, so a later import starts afresh.
        body_has_run = false;
        the_module.reset(Ref());
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "rowmint",
    nullptr,  // no docstring
    0,        // no per-module state
    no_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace rowmint

PyMODINIT_FUNC PyInit_rowmint(void) { return PyModuleDef_Init(&rowmint::module_definition); }
