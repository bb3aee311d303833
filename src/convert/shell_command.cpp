#include "convert/shell_command.hpp"

#include "capi/objects.hpp"

#include <vector>

namespace rowmint {
namespace {

bool windows_shell(PyObject* os)
{
    Ref name = Ref::steal(PyObject_GetAttrString(os, "name"));
    if (!name) {
        // A stand-in `os` without a name: the rule of the platform we run on.
        PyErr_Clear();
#ifdef _WIN32
        return true;
#else
        return false;
#endif
    }
    Ref nt = make_str("nt");
    return equals(name.get(), nt.get());
}

std::vector<Py_UCS4> characters(PyObject* text)
{
    Py_ssize_t length = PyUnicode_GetLength(text);
    if (length < 0) {
        throw PythonError{};
    }
    std::vector<Py_UCS4> chars(static_cast<size_t>(length));
    if (length > 0 && PyUnicode_AsUCS4(text, chars.data(), length, 0) == nullptr) {
        throw PythonError{};
    }
    return chars;
}

bool is_ascii_alnum(Py_UCS4 c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The POSIX shell's rule, as shlex.quote has it: safe text stays as it is,
// anything else goes in single quotes, with each ' written as '"'"'.
Ref quote_posix(PyObject* path)
{
    std::vector<Py_UCS4> chars = characters(path);
    bool safe = !chars.empty();
    for (Py_UCS4 c : chars) {
        if (!(is_ascii_alnum(c) || c == '_' || c == '@' || c == '%' || c == '+' || c == '=' || c == ':' || c == ',' ||
              c == '.' || c == '/' || c == '-')) {
            safe = false;
            break;
        }
    }
    if (safe) {
        return Ref::borrow(path);
    }
    Ref single = make_str("'");
    Ref escaped_single = make_str("'\"'\"'");
    Ref escaped = check(PyUnicode_Replace(path, single.get(), escaped_single.get(), -1));
    Ref opened = check(PyUnicode_Concat(single.get(), escaped.get()));
    return check(PyUnicode_Concat(opened.get(), single.get()));
}

// cmd.exe: double quotes around anything beyond plain path characters. A
// double quote inside a path cannot be passed through cmd.exe safely.
Ref quote_windows(PyObject* path)
{
    std::vector<Py_UCS4> chars = characters(path);
    bool plain = !chars.empty();
    for (Py_UCS4 c : chars) {
        if (c == '"') {
            PyErr_Format(PyExc_ValueError, "cannot pass a path holding '\"' to the Windows shell: %R", path);
            throw PythonError{};
        }
        if (!(is_ascii_alnum(c) || c == '.' || c == '_' || c == '-' || c == ':' || c == '\\' || c == '/')) {
            plain = false;
        }
    }
    if (plain) {
        return Ref::borrow(path);
    }
    Ref quote = make_str("\"");
    Ref opened = check(PyUnicode_Concat(quote.get(), path));
    return check(PyUnicode_Concat(opened.get(), quote.get()));
}

// Only str paths are quoted; anything else meets the concatenation as it is
// and fails there with the language's TypeError.
Ref quote_path(PyObject* path, bool windows)
{
    if (!PyUnicode_Check(path)) {
        return Ref::borrow(path);
    }
    return windows ? quote_windows(path) : quote_posix(path);
}

// The tool's exit code from a wait status; the raw status where it cannot
// be decoded (no such function, or not a valid status).
Ref posix_return_code(PyObject* os, PyObject* status)
{
    Ref decode = Ref::steal(PyObject_GetAttrString(os, "waitstatus_to_exitcode"));
    if (decode) {
        Ref code = Ref::steal(PyObject_CallFunctionObjArgs(decode.get(), status, nullptr));
        if (code) {
            return code;
        }
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
        !PyErr_ExceptionMatches(PyExc_OverflowError) && !PyErr_ExceptionMatches(PyExc_TypeError)) {
        throw PythonError{};
    }
    PyErr_Clear();
    return Ref::borrow(status);
}

}  // namespace

Ref build_tool_command(PyObject* os, PyObject* objcopy, PyObject* file_elf, PyObject* file_hex)
{
    bool windows = windows_shell(os);
    Ref elf = quote_path(file_elf, windows);
    Ref hex = quote_path(file_hex, windows);
    Ref options = make_str(" -O ihex ");
    Ref space = make_str(" ");
    Ref command = add(objcopy, options.get());
    command = add(command.get(), elf.get());
    command = add(command.get(), space.get());
    return add(command.get(), hex.get());
}

void check_tool_status(PyObject* os, PyObject* status, PyObject* cmd)
{
    // A stand-in os.system may return anything; only an int is a status.
    if (!PyLong_Check(status)) {
        return;
    }
    Ref zero = make_int(0);
    if (equals(status, zero.get())) {
        return;
    }
    Ref return_code = windows_shell(os) ? Ref::borrow(status) : posix_return_code(os, status);
    Ref subprocess = check(PyImport_ImportModule("subprocess"));
    Ref error_type = getattr(subprocess.get(), "CalledProcessError");
    Ref error = call(error_type.get(), return_code.get(), cmd);
    PyErr_SetObject(error_type.get(), error.get());
    throw PythonError{};
}

}  // namespace rowmint
