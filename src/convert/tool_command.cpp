// The opening of a conversion: the command line, the object-copy tool run
// through the shell, and the HEX file it leaves.
#include "capi/namespace.hpp"
#include "capi/objects.hpp"
#include "convert/conversion.hpp"

#include <csignal>
#include <vector>

namespace rowmint {
namespace {

bool windows_shell(PyObject* os)
{
    std::optional<Ref> name = optional_attr(os, "name");
    if (!name) {
        // A stand-in `os` without a name: the rule of the platform we run on.
#ifdef _WIN32
        return true;
#else
        return false;
#endif
    }
    Ref nt = make_str("nt");
    return equals(name->get(), nt.get());
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

// cmd.exe: double quotes around anything beyond plain path characters. Two
// characters cannot be passed through it safely: a double quote, and a %,
// which cmd expands (%NAME%) even inside double quotes, so that the tool
// would write one file and we would read another.
Ref quote_windows(PyObject* path)
{
    std::vector<Py_UCS4> chars = characters(path);
    bool plain = !chars.empty();
    for (Py_UCS4 c : chars) {
        if (c == '"' || c == '%') {
            raise(PyExc_ValueError, "cannot pass a path holding '%c' to the Windows shell: %R", static_cast<int>(c),
                  path);
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

// `cmd /c LINE` removes the first and the last " of a line that begins with
// one (unless it holds exactly two, and a few more conditions hold): a line
// holding a " gets one more pair around it, which cmd takes off again.
Ref wrap_for_cmd(Ref command)
{
    Ref quote = make_str("\"");
    if (!PyUnicode_Check(command.get()) || check_status(PyUnicode_Contains(command.get(), quote.get())) == 0) {
        return command;
    }
    Ref opened = check(PyUnicode_Concat(quote.get(), command.get()));
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

bool is_undecodable_status_error()
{
    return PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_OverflowError) ||
           PyErr_ExceptionMatches(PyExc_TypeError);
}

// The status as the wait macros read it, for interpreters before 3.9 (no
// waitstatus_to_exitcode): the exit code, or minus the signal.
std::optional<Ref> decode_with_wait_macros(PyObject* os, PyObject* status)
{
    std::optional<Ref> exited = optional_attr(os, "WIFEXITED");
    std::optional<Ref> exit_status = optional_attr(os, "WEXITSTATUS");
    std::optional<Ref> signaled = optional_attr(os, "WIFSIGNALED");
    std::optional<Ref> signal = optional_attr(os, "WTERMSIG");
    if (!exited || !exit_status || !signaled || !signal) {
        return std::nullopt;
    }
    if (truth(call(exited->get(), status).get())) {
        return call(exit_status->get(), status);
    }
    if (truth(call(signaled->get(), status).get())) {
        Ref number = call(signal->get(), status);
        return check(PyNumber_Negative(number.get()));
    }
    return std::nullopt;
}

// The tool's exit code from a wait status, or minus the signal that ended
// it; nothing where the status cannot be decoded (not a valid status, or a
// stand-in os without the means).
std::optional<Ref> decoded_return_code(PyObject* os, PyObject* status)
{
    try {
        if (std::optional<Ref> decode = optional_attr(os, "waitstatus_to_exitcode")) {
            return call(decode->get(), status);
        }
        return decode_with_wait_macros(os, status);
    } catch (const PythonError&) {
        if (!is_undecodable_status_error()) {
            throw;
        }
        PyErr_Clear();
    }
    return std::nullopt;
}

// What Windows gives a console program that Ctrl-C ended: 0xC000013A,
// STATUS_CONTROL_C_EXIT, as an unsigned 32-bit value.
bool is_control_c_exit(PyObject* status)
{
    Ref low_bits = check(PyNumber_And(status, make_int(0xFFFFFFFFLL).get()));
    Ref control_c_exit = make_int(0xC000013ALL);
    return equals(low_bits.get(), control_c_exit.get());
}

// objcopy + " -O ihex " + elf + " " + hex, with the two paths quoted for the
// shell of the platform that `os` names. objcopy goes in as the caller wrote
// it: it may carry options of its own.
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
    command = add(command.get(), hex.get());
    return windows ? wrap_for_cmd(std::move(command)) : command;
}

// Raises subprocess.CalledProcessError when os.system reported a failure: a
// failed tool may leave an older HEX file behind, never convert it.
// KeyboardInterrupt when Ctrl-C ended the tool: the shell's wait (POSIX) or
// the console (Windows) kept it from this process, and a caller that handles
// a failed tool must not carry on after the user asked to stop.
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
    Ref return_code = Ref::borrow(status);
    if (windows_shell(os)) {
        if (is_control_c_exit(status)) {
            raise_object(PyExc_KeyboardInterrupt, nullptr);
        }
    } else if (std::optional<Ref> decoded = decoded_return_code(os, status)) {
        Ref killed_by_ctrl_c = make_int(-SIGINT);
        if (equals(decoded->get(), killed_by_ctrl_c.get())) {
            raise_object(PyExc_KeyboardInterrupt, nullptr);
        }
        return_code = std::move(*decoded);
    }
    Ref subprocess = check(PyImport_ImportModule("subprocess"));
    Ref error_type = getattr(subprocess.get(), "CalledProcessError");
    Ref error = call(error_type.get(), return_code.get(), cmd);
    raise_object(error_type.get(), error.get());
}

// The hex decoder the conversion got, and the builtins captured at import,
// each with whether it is the interpreter's own.
Hooks conversion_hooks(Ref hex_decoder)
{
    const CapturedBuiltins& builtins = captured_builtins();
    Hooks hooks;
    bool standard_decoder = hex_decoder.get() == builtins.hex_decoder.get();
    hooks.hex_decoder = Hook{std::move(hex_decoder), standard_decoder};
    hooks.open = Hook{Ref::borrow(builtins.open.get()), builtins.open_is_standard};
    hooks.sum = Hook{Ref::borrow(builtins.sum.get()), builtins.sum_is_standard};
    hooks.hex = Hook{Ref::borrow(builtins.hex.get()), builtins.hex_is_standard};
    return hooks;
}

// sys.argv[index], with sys and its argv looked up afresh each time.
Ref command_line_argument(const ConversionState& state, Py_ssize_t index)
{
    Ref sys = state.global(global_names::sys);
    Ref argv = getattr(sys.get(), "argv");
    return get_item(argv.get(), index);
}

}  // namespace

void open_hex_file(ConversionState& state)
{
    Ref codecs = state.global(global_names::codecs);
    Ref getdecoder = getattr(codecs.get(), "getdecoder");
    Ref codec_name = make_str("hex");
    state.hooks = conversion_hooks(call(getdecoder.get(), codec_name.get()));

    state.objcopy = command_line_argument(state, 1);
    state.file_elf = command_line_argument(state, 2);
    state.file_hex = command_line_argument(state, 3);
    state.file_cyacd = command_line_argument(state, 4);

    Ref os_for_quoting = state.global(global_names::os);
    state.cmd = build_tool_command(os_for_quoting.get(), state.objcopy.get(), state.file_elf.get(), state.file_hex.get());
    check_paths_before_the_tool(state);

    Ref os = state.global(global_names::os);
    Ref system = getattr(os.get(), "system");
    Ref status = call(system.get(), state.cmd.get());
    // Ctrl-C that the interpreter holds pending (Windows gives it to the
    // whole console) is raised now, before anything else is done.
    check_status(PyErr_CheckSignals());
    check_tool_status(os.get(), status.get(), state.cmd.get());

    state.f = call(state.hooks.open.callable.get(), state.file_hex.get());
}

}  // namespace rowmint
