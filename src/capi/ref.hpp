// Owning handles for PyObject references, and the one way errors travel:
// a C API call that fails leaves its Python exception set and throws
// PythonError, which unwinds to the entry point that the interpreter called;
// there guarded_entry turns it back into a NULL return.
#pragma once

// Always the stable ABI of 3.7, so the compiler refuses anything newer.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03070000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <utility>

namespace rowmint {

// A Python exception is set; entry points return NULL and it travels on.
struct PythonError {};

class Ref {
public:
    Ref() noexcept = default;
    ~Ref() { Py_XDECREF(object_); }

    // Takes over a new reference (what most C API calls return).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference of our own to a borrowed one.
    static Ref borrow(PyObject* object) noexcept
    {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref other) noexcept
    {
        std::swap(object_, other.object_);
        return *this;
    }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to an API that steals it.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// A reference held for the life of the process. It is never released at
// exit, when the interpreter may already be finalised; replacing it releases
// the old one. Every kept reference belongs to the interpreter that owns the
// module, so all of them join one list when they are made, and an owner that
// has ended is let go of in one sweep that cannot miss any. Only for objects
// of static storage duration: none ever leaves the list.
class KeptRef {
public:
    KeptRef() noexcept : next_(std::exchange(first(), this)) {}
    KeptRef(const KeptRef&) = delete;
    KeptRef& operator=(const KeptRef&) = delete;

    void reset(Ref value) noexcept { Ref old = Ref::steal(std::exchange(object_, value.release())); }
    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Lets go of every kept object of an interpreter that has ended, without
    // touching them: they stay allocated, and no destructor of that
    // interpreter's runs in another.
    static void abandon_all() noexcept
    {
        for (KeptRef* kept = first(); kept != nullptr; kept = kept->next_) {
            kept->object_ = nullptr;
        }
    }

private:
    static KeptRef*& first() noexcept
    {
        static KeptRef* newest = nullptr;
        return newest;
    }

    PyObject* object_ = nullptr;
    KeptRef* next_;
};

// A name the module looks up often, as an interned str made on first use.
class Name {
public:
    explicit Name(const char* text) noexcept : text_(text) {}
    const char* text() const noexcept { return text_; }
    PyObject* object() const;  // borrowed; raises PythonError when it cannot be made

private:
    const char* text_;
    mutable KeptRef object_;
};

// Wraps a new reference from the C API; NULL means the call raised.
inline Ref check(PyObject* result)
{
    if (result == nullptr) {
        throw PythonError{};
    }
    return Ref::steal(result);
}

// For C API calls that report failure with a negative int.
inline int check_status(int status)
{
    if (status < 0) {
        throw PythonError{};
    }
    return status;
}

// Formats a message as PyErr_Format does, sets it, and unwinds.
[[noreturn]] void raise(PyObject* type, const char* format, ...);
[[noreturn]] void raise_object(PyObject* type, PyObject* value);

// Keeps the Python exception in flight while cleanup code runs: whatever
// the cleanup raises is dropped and the original exception restored.
class PendingError {
public:
    PendingError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~PendingError()
    {
        PyErr_Clear();
        PyErr_Restore(type_, value_, traceback_);
    }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

    // The exception instance itself (normalised on first use); may be NULL.
    PyObject* value() noexcept
    {
        PyErr_NormalizeException(&type_, &value_, &traceback_);
        return value_;
    }

private:
    // Owned here until PyErr_Restore hands them back to the interpreter.
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// Every call from the interpreter into C++ goes through here: C++
// exceptions never cross back into the interpreter.
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
