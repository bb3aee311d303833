// Before the object-copy tool runs: a conversion never writes over its ELF
// file, and never starts when its row file has nowhere to go. When one of
// these refuses, nothing has run and nothing has changed.
#include "capi/namespace.hpp"
#include "capi/objects.hpp"
#include "convert/conversion.hpp"

#include <cerrno>

namespace rowmint {
namespace {

// The file system is reached through the module's `os` and its `path`, as
// everywhere else, so that a caller's stand-in sees every call.
struct FileSystem {
    Ref os;
    Ref path;

    bool ask(const char* question, PyObject* a) const { return truth(call_method(path.get(), question, a).get()); }
};

// Whether `other` names the ELF file (known to exist), through any spelling
// or link.
bool names_the_elf(const FileSystem& files, PyObject* elf, PyObject* other)
{
    if (!files.ask("exists", other)) {
        return false;
    }
    return truth(call_method(files.path.get(), "samefile", elf, other).get());
}

void refuse_writing_over_the_elf(const FileSystem& files, const ConversionState& state)
{
    PyObject* elf = state.file_elf.get();
    if (!files.ask("exists", elf)) {
        return;  // no file there to lose
    }
    if (names_the_elf(files, elf, state.file_hex.get())) {
        raise(PyExc_ValueError, "the HEX path names the ELF file");
    }
    if (names_the_elf(files, elf, state.row_file_path.get())) {
        raise(PyExc_ValueError, "the row-file path names the ELF file");
    }
}

// A link is followed to the file it points to, which is then replaced while
// the link stays; a link that points nowhere yet creates its target.
Ref resolve_links(const FileSystem& files, PyObject* row_file_path)
{
    if (!files.ask("islink", row_file_path)) {
        return Ref::borrow(row_file_path);
    }
    return call_method(files.path.get(), "realpath", row_file_path);
}

// OSError(code, the system's text for it, path): the subclass the code
// stands for, as the interpreter makes it for a failed system call.
[[noreturn]] void raise_os_error(int code, PyObject* path)
{
    errno = code;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    throw PythonError{};
}

// The row file's folder must be a folder, and the row file must not be one.
// A folder that is missing (or lies below something that is not a folder)
// gets the error the system gives for it, named after the row file.
void require_a_place_for_the_row_file(const FileSystem& files, const ConversionState& state)
{
    PyObject* target = state.row_file_target.get();
    Ref folder = call_method(files.path.get(), "dirname", target);
    if (!truth(folder.get())) {
        folder = getattr(files.os.get(), "curdir");
    }
    if (!files.ask("isdir", folder.get())) {
        try {
            call_method(files.os.get(), "stat", folder.get());
        } catch (const PythonError&) {
            name_the_row_file(state.row_file_path.get());
            throw;
        }
        raise_os_error(ENOTDIR, state.row_file_path.get());
    }
    if (files.ask("isdir", target)) {
        raise_os_error(EISDIR, state.row_file_path.get());
    }
}

}  // namespace

void check_paths_before_the_tool(ConversionState& state)
{
    FileSystem files;
    files.os = state.global(global_names::os);
    files.path = getattr(files.os.get(), "path");
    state.row_file_path = call_method(files.os.get(), "fspath", state.file_cyacd.get());
    refuse_writing_over_the_elf(files, state);
    state.row_file_target = resolve_links(files, state.row_file_path.get());
    require_a_place_for_the_row_file(files, state);
}

void name_the_row_file(PyObject* row_file_path) noexcept
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
    if (!text || text.get() == Py_None) {
        return;  // a failure to look is dropped with the pending error's restore
    }
    // A failure here leaves the error as it was.
    if (PyObject_SetAttrString(error, "filename", row_file_path) == 0) {
        PyObject_SetAttrString(error, "filename2", Py_None);
    }
}

}  // namespace rowmint
