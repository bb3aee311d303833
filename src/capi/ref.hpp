// Owning handle for one PyObject reference, and the C++ exception that
// carries "a Python error is already set" up to the entry points.
#pragma once

#include "python.hpp"

#include <utility>

namespace rowmint {

// Thrown after a C API call failed and left its exception set. Entry points
// catch it and return NULL; the Python exception travels on unchanged.
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
// the old one.
class KeptRef {
public:
    void reset(Ref value) noexcept { Ref old = Ref::steal(std::exchange(object_, value.release())); }
    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// A name the module looks up often, as an interned str made on first use.
class Name {
public:
    explicit constexpr Name(const char* text) noexcept : text_(text) {}
    const char* text() const noexcept { return text_; }
    PyObject* object() const;  // borrowed; raises PythonError when it cannot be made

private:
    const char* text_;
    mutable KeptRef object_;
};

// Keeps the Python exception that is in flight while cleanup code runs;
// whatever the cleanup raises is dropped and the original restored.
class PendingErrorGuard {
public:
    PendingErrorGuard() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~PendingErrorGuard()
    {
        PyErr_Clear();
        PyErr_Restore(type_, value_, traceback_);
    }
    PendingErrorGuard(const PendingErrorGuard&) = delete;
    PendingErrorGuard& operator=(const PendingErrorGuard&) = delete;

private:
    // Owned here until PyErr_Restore hands them back to the interpreter.
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
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

// Sets a Python exception and unwinds to the entry point.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_object(PyObject* type, const Ref& value);

}  // namespace rowmint
