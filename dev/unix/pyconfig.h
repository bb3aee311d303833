/* pyconfig.h for building an extension module with Zig for 64-bit Linux
 * (x86_64, aarch64) and macOS (x86_64, arm64). dev/wheels.sh puts it beside
 * a copy of the host interpreter's headers: Python.h includes "pyconfig.h" in
 * quotes, so the copy's own folder is searched first.
 *
 * Only what the headers ask of a platform is set here, with the values every
 * one of these targets shares (LP64): long, pointers, size_t and Py_ssize_t
 * are 8 bytes, wchar_t is 4 (UTF-32). */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(__LP64__) || !(defined(__linux__) || defined(__APPLE__))
#error "this pyconfig.h is for 64-bit Linux and macOS"
#endif

/* POSIX threads. */
#define WITH_THREAD 1
#define HAVE_PTHREAD_H 1
#define _POSIX_THREADS 1

/* Type sizes of LP64. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 8
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_WCHAR_T 4
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF__BOOL 1
#define SIZEOF_PID_T 4
#define SIZEOF_OFF_T 8
#define SIZEOF_FPOS_T 16
#define ALIGNOF_LONG 8
#define ALIGNOF_SIZE_T 8

#define HAVE_LONG_LONG 1
#define PY_LONG_LONG long long

/* Py_ssize_t is ssize_t. */
#define HAVE_SSIZE_T 1

/* Little-endian IEEE 754 doubles on all four; WORDS_BIGENDIAN stays
 * undefined. */
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

/* What the C library has, as far as the headers look. */
#define HAVE_STDDEF_H 1
#define HAVE_STDINT_H 1
#define HAVE_INTTYPES_H 1
#define HAVE_UNISTD_H 1
#define HAVE_ERRNO_H 1
#define HAVE_WCHAR_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_TIME_H 1
#define HAVE_CLOCK_GETTIME 1
#define HAVE_COPYSIGN 1
#define HAVE_HYPOT 1
#define HAVE_ROUND 1
#define HAVE_DYNAMIC_LOADING 1

#endif /* !Py_CONFIG_H */
