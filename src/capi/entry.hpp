// Every call from the interpreter into C++ goes through guarded_entry: C++
// exceptions never cross back into the interpreter.
#pragma once

#include "capi/ref.hpp"

#include <exception>
#include <new>

namespace rowmint {

template <class Body>
PyObject* guarded_entry(Body&& body) noexcept
{
    try {
        return body().release();
    } catch (const PythonError&) {
        // The Python exception is already set and travels on unchanged.
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in rowmint");
    }
    return nullptr;
}

}  // namespace rowmint
