/* pyconfig.h for building an extension module with Zig (MinGW-w64 over the
 * universal C runtime) for 64-bit Windows against python.org's CPython
 * (python3.dll). dev/wheels.sh puts it beside a copy of the host
 * interpreter's headers: Python.h includes "pyconfig.h" in quotes, so the
 * copy's own folder is searched first.
 *
 * Only what the headers ask of a platform is set here, with the values of
 * python.org's x64 build: long stays 4 bytes (LLP64), pointers, size_t and
 * Py_ssize_t are 8, wchar_t is 2 (UTF-16). */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !defined(__MINGW64__)
#error "this pyconfig.h is for MinGW-w64 targeting 64-bit Windows"
#endif

/* The platform: Windows, 64 bits, Windows threads. */
#define MS_WIN64
#define MS_WIN32
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD

/* The interpreter lives in a DLL: its functions and data are imported
 * (__declspec(dllimport)) and PyMODINIT_FUNC is exported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* Type sizes of 64-bit Windows. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF__BOOL 1
#define ALIGNOF_LONG 4
#define ALIGNOF_SIZE_T 8
/* SIZEOF_PID_T stays undefined: process ids are ints, the headers' default. */

#define HAVE_LONG_LONG 1
#define PY_LONG_LONG long long

/* Py_ssize_t: signed and as wide as size_t, 64 bits. Headers before 3.11
 * define PY_SSIZE_T_MAX themselves. */
typedef long long Py_ssize_t;
#define HAVE_PY_SSIZE_T 1
#if PY_VERSION_HEX >= 0x030B0000
#define PY_SSIZE_T_MAX LLONG_MAX
#endif

/* Little-endian IEEE 754 doubles; WORDS_BIGENDIAN stays undefined. */
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

/* What the C runtime has, as far as the headers look. */
#define HAVE_STDDEF_H 1
#define HAVE_ERRNO_H 1
#define HAVE_WCHAR_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_COPYSIGN 1
#define HAVE_HYPOT 1
#define HAVE_ROUND 1

/* LLONG_MAX for PY_SSIZE_T_MAX. */
#include <limits.h>

#endif /* !Py_CONFIG_H */
