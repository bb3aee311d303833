// The module definition: multi-phase initialisation with a create step that
// hands out the one module object of the process, and an exec step that runs
// the module body once.
#include "capi/compat.hpp"
#include "capi/namespace.hpp"
#include "module/functions.hpp"

namespace rowmint {
namespace {

void bind(PyObject* module, const char* name, const Ref& value)
{
    check_status(PyObject_SetAttrString(module, name, value.get()));
}

// `import NAME`: an absolute import of a top-level module, bound at once.
void import_and_bind(PyObject* module, const char* name)
{
    Ref name_object = make_str(name);
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    Ref imported = check(PyImport_ImportModuleLevelObject(name_object.get(), globals, nullptr, nullptr, 0));
    bind(module, name, imported);
}

// The module body, statement by statement.
void run_body(PyObject* module)
{
    capture_builtins();
    import_and_bind(module, "codecs");
    import_and_bind(module, "os");
    import_and_bind(module, "sys");
    import_and_bind(module, "six");
    bind(module, "__version__", make_str("1.00"));
    Ref replace = make_replace_function(module);
    remember_replace_function(replace.get());
    bind(module, "replace", replace);
    bind(module, "main", make_main_function(module));
    run_main_if_main_module(module);
    bind_test_dict(module);
}

// One module object per process: importing again after the module was
// removed from sys.modules yields this same object, with nothing run again.
// The module, the builtins it captured and its functions belong to the
// interpreter that imported it first, known here by its sys.modules dict
// (held, so that no later dict can take its address). Another interpreter
// is refused while that one lives; once it has ended, the next import
// starts afresh.
KeptRef the_module;
KeptRef owner_modules;
bool body_has_run = false;

// An interpreter's sys.modules is emptied when it ends, and never before.
bool owner_has_ended() { return PyDict_Size(owner_modules.get()) == 0; }

// Everything kept belonged to the owner: the module, the builtins, the
// interned names.
void forget_ended_owner() noexcept
{
    KeptRef::abandon_all();
    body_has_run = false;
}

PyObject* create_module(PyObject* spec, PyModuleDef*)
{
    return guarded_entry([&] {
        PyObject* modules = PyImport_GetModuleDict();  // borrowed
        if (owner_modules && owner_modules.get() != modules) {
            if (!owner_has_ended()) {
                raise(PyExc_ImportError, "rowmint can be loaded into one interpreter per process");
            }
            forget_ended_owner();
        }
        if (the_module) {
            return Ref::borrow(the_module.get());
        }
        Ref name = getattr(spec, "name");
        Ref module = check(PyModule_NewObject(name.get()));
        the_module.reset(module);
        owner_modules.reset(Ref::borrow(modules));
        return module;
    });
}

int exec_module(PyObject* module)
{
    if (body_has_run && module == the_module.get()) {
        return 0;
    }
    body_has_run = true;
    PyObject* done = guarded_entry([&] {
        run_body(module);
        return none();
    });
    if (done == nullptr) {
        // A failed import leaves nothing behind, so a later import starts
        // afresh. The import's error is held aside while the module is let go.
        body_has_run = false;
        PendingError keep_error;
        the_module.reset(Ref());
        return -1;
    }
    Ref::steal(done);
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
