#include "capi/namespace.hpp"

#include "capi/compat.hpp"
#include "capi/objects.hpp"

namespace rowmint {
namespace {

// Kept for the life of the process, as the module body runs once per process.
CapturedBuiltins kept_builtins;
KeptRef kept_replace;

Ref capture(PyObject* builtins_module, const char* name)
{
    std::optional<Ref> value = optional_attr(builtins_module, name);
    if (!value) {
        raise_name_error(name);
    }
    return std::move(*value);
}

// A builtin function of the given name bound to the given module object.
bool is_builtin_function(PyObject* object, PyObject* owner, const char* name)
{
    if (!PyCFunction_Check(object) || PyCFunction_GetSelf(object) != owner) {
        return false;
    }
    Ref function_name = getattr(object, "__name__");
    return PyUnicode_Check(function_name.get()) &&
           PyUnicode_CompareWithASCIIString(function_name.get(), name) == 0;
}

}  // namespace

void capture_builtins()
{
    Ref builtins = check(PyImport_ImportModule("builtins"));
    Ref io = check(PyImport_ImportModule("_io"));
    Ref open = capture(builtins.get(), "open");
    Ref range = capture(builtins.get(), "range");
    Ref hex = capture(builtins.get(), "hex");
    Ref sum = capture(builtins.get(), "sum");
    Ref codecs = check(PyImport_ImportModule("codecs"));
    Ref hex_name = make_str("hex");
    Ref hex_decoder = call_method(codecs.get(), "getdecoder", hex_name.get());
    kept_builtins.open_is_standard = is_builtin_function(open.get(), io.get(), "open");
    kept_builtins.hex_is_standard = is_builtin_function(hex.get(), builtins.get(), "hex");
    kept_builtins.sum_is_standard = is_builtin_function(sum.get(), builtins.get(), "sum");
    // A rerun after a failed import replaces what the earlier run kept.
    kept_builtins.builtins_module.reset(std::move(builtins));
    kept_builtins.open.reset(std::move(open));
    kept_builtins.range.reset(std::move(range));
    kept_builtins.hex.reset(std::move(hex));
    kept_builtins.sum.reset(std::move(sum));
    kept_builtins.hex_decoder.reset(std::move(hex_decoder));
}

const CapturedBuiltins& captured_builtins() { return kept_builtins; }

namespace global_names {
const Name codecs("codecs");
const Name os("os");
const Name sys("sys");
const Name six("six");
const Name replace("replace");
const Name main("main");
const Name module_name("__name__");
}  // namespace global_names

Ref lookup_global(PyObject* module, const Name& name)
{
    PyObject* namespace_dict = PyModule_GetDict(module);  // borrowed
    if (namespace_dict == nullptr) {
        throw PythonError{};
    }
    PyObject* value = PyDict_GetItemWithError(namespace_dict, name.object());  // borrowed
    if (value != nullptr) {
        return Ref::borrow(value);
    }
    if (PyErr_Occurred()) {
        throw PythonError{};
    }
    std::optional<Ref> from_builtins = optional_attr(kept_builtins.builtins_module.get(), name.text());
    if (!from_builtins) {
        raise_name_error(name.text());
    }
    return std::move(*from_builtins);
}

void remember_replace_function(PyObject* function) { kept_replace.reset(Ref::borrow(function)); }

PyObject* module_replace_function() { return kept_replace.get(); }

}  // namespace rowmint
