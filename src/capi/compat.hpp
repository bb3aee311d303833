// What the module keeps so that it behaves exactly as the procedure it
// replaces, though nothing in a conversion needs it: the module's `__test__`
// dict and its run as the __main__ module, and the interpreter's own error
// texts for the failures that procedure met as plain Python code.
#pragma once

#include "capi/objects.hpp"

#include <array>

namespace rowmint {

// --- The interpreter's own messages -----------------------------------------

[[noreturn]] void raise_name_error(const char* name);
// Slicing a type without a subscript operation.
[[noreturn]] void raise_unsliceable(PyObject* object);
// list_cyacd[None]: a row that has no row line.
[[noreturn]] void raise_no_row_line();
// A function of no parameters given some.
void require_no_arguments(const char* function, PyObject* args, PyObject* kwargs);
// Binding four positional-or-keyword parameters. The references are owned:
// the caller's keyword dict may be passed to us as it is, and code the call
// runs (an argument's __add__, say) may empty it.
std::array<Ref, 4> bind_four_parameters(const char* function, const char* const names[4], PyObject* args,
                                        PyObject* kwargs);

// --- The module body --------------------------------------------------------

// `__test__ = {}`: an empty dict, bound last.
void bind_test_dict(PyObject* module);

// `if __name__ == "__main__": sys.exit(main())`, with the names looked up as
// the body reaches them.
void run_main_if_main_module(PyObject* module);

}  // namespace rowmint
