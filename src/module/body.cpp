#include "module/body.hpp"

#include "capi/entry.hpp"
#include "capi/objects.hpp"
#include "module/functions.hpp"
#include "module/namespace.hpp"

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

bool runs_as_main_module(PyObject* module)
{
    Ref name = lookup_global(module, global_names::module_name);
    Ref main_name = make_str("__main__");
    return equals(name.get(), main_name.get());
}

// sys.exit(main()): `exit` is fetched before main runs, and both names are
// looked up now, not taken from the bindings above.
void run_as_main_module(PyObject* module)
{
    Ref sys = lookup_global(module, global_names::sys);
    Ref exit = getattr(sys.get(), "exit");
    Ref main = lookup_global(module, global_names::main);
    Ref result = call(main.get());
    call(exit.get(), result.get());
}

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
    if (runs_as_main_module(module)) {
        run_as_main_module(module);
    }
    bind(module, "__test__", check(PyDict_New()));
}

}  // namespace

int run_module_body(PyObject* module) noexcept
{
    PyObject* result = guarded_entry([&] {
        run_body(module);
        return none();
    });
    if (result == nullptr) {
        return -1;
    }
    Ref::steal(result);
    return 0;
}

}  // namespace rowmint
