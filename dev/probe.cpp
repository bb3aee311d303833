// Compiled by dev/wheels.sh for every target before the module's sources,
// with the same flags: the headers and the pyconfig.h of the target's family
// (dev/windows/, dev/unix/) give the types and stable-ABI structs of the
// interpreter there: LLP64 on 64-bit Windows (long stays 4 bytes), LP64 on
// Linux and macOS.
#include "capi/ref.hpp"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <type_traits>

#if defined(_WIN64)
#if !defined(MS_WINDOWS) || !defined(MS_WIN64) || !defined(HAVE_DECLSPEC_DLL) || !defined(Py_ENABLE_SHARED)
#error "the Windows pyconfig.h is not the one Python.h found"
#endif
static_assert(sizeof(long) == 4 && LONG_MAX == 0x7FFFFFFFL, "long is 4 bytes on 64-bit Windows");
static_assert(sizeof(wchar_t) == 2, "wchar_t holds UTF-16 code units");
#else
#if defined(MS_WINDOWS) || !defined(HAVE_SSIZE_T)
#error "the Linux and macOS pyconfig.h is not the one Python.h found"
#endif
static_assert(sizeof(long) == 8, "long is 8 bytes on LP64");
static_assert(sizeof(wchar_t) == 4, "wchar_t holds UTF-32 code units");
#endif

// The compiler's own types.
static_assert(sizeof(int) == 4, "int");
static_assert(sizeof(long long) == 8, "long long");
static_assert(sizeof(void*) == 8, "pointers");
static_assert(sizeof(std::size_t) == 8, "size_t");

// pyconfig.h agrees with them.
static_assert(SIZEOF_INT == sizeof(int) && SIZEOF_LONG == sizeof(long), "SIZEOF_INT, SIZEOF_LONG");
static_assert(SIZEOF_LONG_LONG == sizeof(long long) && SIZEOF_VOID_P == sizeof(void*), "SIZEOF_LONG_LONG, SIZEOF_VOID_P");
static_assert(SIZEOF_SIZE_T == sizeof(std::size_t) && SIZEOF_WCHAR_T == sizeof(wchar_t), "SIZEOF_SIZE_T, SIZEOF_WCHAR_T");
static_assert(SIZEOF_TIME_T == sizeof(time_t) && SIZEOF_UINTPTR_T == sizeof(std::uintptr_t), "SIZEOF_TIME_T, SIZEOF_UINTPTR_T");
static_assert(std::is_same<PY_LONG_LONG, long long>::value, "PY_LONG_LONG");

// The interpreter's types.
static_assert(sizeof(Py_ssize_t) == 8 && std::is_signed<Py_ssize_t>::value, "Py_ssize_t: signed, 64 bits");
static_assert(PY_SSIZE_T_MAX == LLONG_MAX && PY_SSIZE_T_MIN == LLONG_MIN, "PY_SSIZE_T_MAX, PY_SSIZE_T_MIN");
static_assert(sizeof(Py_hash_t) == 8, "Py_hash_t");
static_assert(sizeof(Py_UCS4) == 4, "Py_UCS4");

// Stable-ABI structs the module hands to the interpreter, as laid out there.
static_assert(sizeof(PyObject) == 16 && offsetof(PyObject, ob_type) == 8, "PyObject");
static_assert(sizeof(PyVarObject) == 24, "PyVarObject");
static_assert(sizeof(PyMethodDef) == 32, "PyMethodDef");
static_assert(sizeof(PyModuleDef_Base) == 40, "PyModuleDef_Base");
static_assert(sizeof(PyModuleDef) == 104 && offsetof(PyModuleDef, m_slots) == 72, "PyModuleDef");
static_assert(sizeof(PyModuleDef_Slot) == 16, "PyModuleDef_Slot");
static_assert(sizeof(PyType_Slot) == 16 && sizeof(PyType_Spec) == 32, "PyType_Slot, PyType_Spec");
