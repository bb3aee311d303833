// What the module keeps so that it behaves exactly as the procedure it
// replaces, though nothing in a conversion needs it: the Python 2 branches of
// the checksums (taken by what `six` says), the module's `__test__` dict and
// its run as the __main__ module, and the interpreter's own error texts for
// the failures that procedure met as plain Python code.
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

// --- Python 2 ---------------------------------------------------------------

// six.PY2 / six.PY3 of the module's `six`, looked up and tested at each use.
bool six_says_python2(PyObject* module);
bool six_says_python3(PyObject* module);

// sum(ord(c) for c in data): ord() of each element as it comes, failing as
// ord() does on the first element that is not a one-character string.
Ref sum_of_ords(PyObject* data);
// What that sum raises for bytes, whose elements are ints.
[[noreturn]] void raise_ord_of_int();

// The application sum adds a row's ord sum when six says Python 2 and its
// byte sum when six says Python 3: both tests are made, both may add.
template <class OrdSum, class ByteSum>
Ref add_row_to_application_sum(PyObject* module, const Ref& appsum, OrdSum&& ord_sum, ByteSum&& byte_sum)
{
    Ref total = appsum;
    if (six_says_python2(module)) {
        Ref as_int = check(PyNumber_Index(ord_sum().get()));
        total = add(total.get(), as_int.get());
    }
    if (six_says_python3(module)) {
        Ref as_int = check(PyNumber_Index(byte_sum().get()));
        total = add(total.get(), as_int.get());
    }
    return total;
}

// A row's sum: the ord sum when six says Python 2, else the byte sum when it
// says Python 3. With neither, the checksum was never assigned: the
// UnboundLocalError the procedure met, unless an earlier row assigned it.
template <class OrdSum, class ByteSum>
Ref row_sum(PyObject* module, bool earlier_row_summed, OrdSum&& ord_sum, ByteSum&& byte_sum)
{
    if (six_says_python2(module)) {
        return ord_sum();
    }
    if (six_says_python3(module)) {
        return byte_sum();
    }
    if (!earlier_row_summed) {
        raise(PyExc_UnboundLocalError, "local variable 'data_checksum' referenced before assignment");
    }
    return Ref();
}

// --- The module body --------------------------------------------------------

// `__test__ = {}`: an empty dict, bound last.
void bind_test_dict(PyObject* module);

// `if __name__ == "__main__": sys.exit(main())`, with the names looked up as
// the body reaches them.
void run_main_if_main_module(PyObject* module);

}  // namespace rowmint
