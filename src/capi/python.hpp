// The one way this project includes the interpreter's headers: always the
// stable ABI of 3.7, so the compiler refuses anything newer.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03070000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
