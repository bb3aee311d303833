#include "convert/file_system.hpp"

#include "capi/objects.hpp"

#include <cerrno>

namespace rowmint {
namespace {

// The file-type bits of st_mode; Python's stat module gives every platform
// the same values.
constexpr long long type_bits = 0170000;
constexpr long long folder_type = 0040000;
constexpr long long regular_type = 0100000;
constexpr long long special_types[] = {
    0020000,  // character device
    0060000,  // block device
    0010000,  // pipe
    0140000,  // socket
};

}  // namespace

bool FileSystem::ask(const char* question, PyObject* a) const { return truth(call_method(path.get(), question, a).get()); }

FileKind kind_of_file(const FileSystem& files, PyObject* path)
{
    Ref status = Ref::steal(PyObject_CallMethod(files.os.get(), "stat", "O", path));
    if (!status) {
        if (!PyErr_ExceptionMatches(PyExc_OSError) && !PyErr_ExceptionMatches(PyExc_ValueError)) {
            throw PythonError{};
        }
        PyErr_Clear();
        return FileKind::unknown;
    }
    Ref mode = getattr(status.get(), "st_mode");
    long long type = int_value(mode.get()) & type_bits;
    if (type == regular_type) {
        return FileKind::regular;
    }
    if (type == folder_type) {
        return FileKind::folder;
    }
    for (long long special : special_types) {
        if (type == special) {
            return FileKind::device_pipe_or_socket;
        }
    }
    return FileKind::other;
}

[[noreturn]] void raise_os_error(int code, PyObject* path)
{
    errno = code;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    throw PythonError{};
}

void require_a_folder_for(const FileSystem& files, PyObject* path, PyObject* named)
{
    Ref folder = call_method(files.path.get(), "dirname", path);
    if (!truth(folder.get())) {
        folder = getattr(files.os.get(), "curdir");
    }
    if (files.ask("isdir", folder.get())) {
        return;
    }
    try {
        call_method(files.os.get(), "stat", folder.get());
    } catch (const PythonError&) {
        name_the_file(named);
        throw;
    }
    raise_os_error(ENOTDIR, named);
}

void name_the_file(PyObject* path) noexcept
{
    if (!PyErr_ExceptionMatches(PyExc_OSError)) {
        return;
    }
    PendingError pending;
    PyObject* error = pending.value();
    if (error == nullptr) {
        return;
    }
    // Only an error that carries the system's text names a file; a bare
    // OSError("message") keeps its own text.
    Ref text = Ref::steal(PyObject_GetAttrString(error, "strerror"));
    if (!text) {
        PyErr_Clear();  // the pending error stays as it was
        return;
    }
    if (text.get() == Py_None) {
        return;
    }
    // The second file name goes: set to None it would still print as
    // "-> None". A failure here leaves the error as it was.
    if (PyObject_SetAttrString(error, "filename", path) < 0 || PyObject_SetAttrString(error, "filename2", nullptr) < 0) {
        PyErr_Clear();
    }
}

}  // namespace rowmint
