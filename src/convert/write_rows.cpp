// Writing the row file. The lines go to a new file beside the target, which
// then replaces the target in one step: a failed write never leaves a
// partial file that looks like a row file, and never destroys the old one.
#include "capi/objects.hpp"
#include "convert/steps.hpp"
#include "module/namespace.hpp"

#include <memory>
#include <random>

namespace rowmint {
namespace {

// The temporary file until it has replaced the target; removed otherwise.
class TemporaryRowFile {
public:
    TemporaryRowFile(Ref os, Ref path) : os_(std::move(os)), path_(std::move(path)) {}
    ~TemporaryRowFile()
    {
        if (committed_) {
            return;
        }
        PendingErrorGuard keep_error;  // cleanup failures never replace it
        if (file_) {
            Ref closed = Ref::steal(PyObject_CallMethod(file_.get(), "close", nullptr));
            PyErr_Clear();
        }
        Ref removed = Ref::steal(PyObject_CallMethod(os_.get(), "remove", "O", path_.get()));
        PyErr_Clear();
    }
    TemporaryRowFile(const TemporaryRowFile&) = delete;
    TemporaryRowFile& operator=(const TemporaryRowFile&) = delete;

    void opened(Ref file) { file_ = std::move(file); }
    PyObject* file() const { return file_.get(); }
    PyObject* path() const { return path_.get(); }

    void close()
    {
        Ref file = std::move(file_);
        call_method(file.get(), "close");
    }
    void replace(PyObject* target)
    {
        Ref replace = getattr(os_.get(), "replace");
        call(replace.get(), path_.get(), target);
        committed_ = true;
    }

private:
    Ref os_;
    Ref path_;
    Ref file_;
    bool committed_ = false;
};

std::string random_suffix()
{
    static std::mt19937_64 generator{std::random_device{}()};
    static const char digits[] = "0123456789abcdef";
    std::string suffix = ".";
    std::uint64_t value = generator();
    for (int i = 0; i < 12; ++i, value >>= 4) {
        suffix += digits[value & 15];
    }
    return suffix + ".tmp";
}

// Text of the same kind as the path (str or bytes).
Ref same_kind(PyObject* path_part, const std::string& ascii)
{
    if (PyBytes_Check(path_part)) {
        return check(PyBytes_FromStringAndSize(ascii.data(), static_cast<Py_ssize_t>(ascii.size())));
    }
    return make_str(ascii);
}

// An OSError met while creating the temporary file names the row file: the
// temporary's name means nothing to the caller (a missing folder, say).
void name_the_row_file(PyObject* target) noexcept
{
    if (!PyErr_ExceptionMatches(PyExc_OSError)) {
        return;
    }
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && PyObject_SetAttrString(value, "filename", target) < 0) {
        PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

// A fresh file in the target's folder, created the way open() creates any
// new file (so it gets the usual permissions), never one that exists.
std::unique_ptr<TemporaryRowFile> create_temporary(const Ref& os, PyObject* target)
{
    Ref path_module = getattr(os.get(), "path");
    Ref split = getattr(path_module.get(), "split");
    Ref join = getattr(path_module.get(), "join");
    Ref parts = call(split.get(), target);
    Ref folder = get_item(parts.get(), 0);
    Ref name = get_item(parts.get(), 1);
    Ref mode = make_str("x");
    for (int attempt = 0;; ++attempt) {
        Ref dot = same_kind(name.get(), ".");
        Ref temporary_name = add(dot.get(), name.get());
        Ref suffix = same_kind(name.get(), random_suffix());
        temporary_name = add(temporary_name.get(), suffix.get());
        Ref path = call(join.get(), folder.get(), temporary_name.get());
        PyObject* file = PyObject_CallFunctionObjArgs(captured_builtins().open.get(), path.get(), mode.get(), nullptr);
        if (file != nullptr) {
            auto temporary = std::make_unique<TemporaryRowFile>(os, std::move(path));
            temporary->opened(Ref::steal(file));
            return temporary;
        }
        if (attempt >= 100 || !PyErr_ExceptionMatches(PyExc_FileExistsError)) {
            name_the_row_file(target);
            throw PythonError{};
        }
        PyErr_Clear();
    }
}

bool all_rows_native(const ConversionState& state)
{
    for (const RowLine& line : state.row_lines) {
        if (!line.text.is_native()) {
            return false;
        }
    }
    return true;
}

// Each line followed by "\n"; text mode turns it into the platform's line end.
void write_lines(const ConversionState& state, PyObject* file)
{
    if (captured_builtins().open_is_standard && all_rows_native(state)) {
        // The interpreter's own text file: the whole file in a few writes,
        // of a size its buffer takes without one huge string per call.
        std::string contents = std::string(header_line) + "\n";
        contents.reserve(contents.size() + state.row_lines.size() * (row_prefix_length + row_digits + 3));
        for (const RowLine& line : state.row_lines) {
            contents += line.text.native();
            contents += '\n';
        }
        constexpr size_t piece = 1 << 16;
        for (size_t at = 0; at < contents.size(); at += piece) {
            Ref text = make_str(std::string_view(contents).substr(at, piece));
            call_method(file, "write", text.get());
        }
        return;
    }
    Ref line_end = make_str("\n");
    Ref header = make_str(header_line);
    call_method(file, "write", header.get());
    call_method(file, "write", line_end.get());
    for (const RowLine& line : state.row_lines) {
        Ref text = line.text.object();
        call_method(file, "write", text.get());
        call_method(file, "write", line_end.get());
    }
}

}  // namespace

void write_row_file(ConversionState& state)
{
    Ref os = state.global(global_names::os);
    Ref fspath = getattr(os.get(), "fspath");
    Ref target = call(fspath.get(), state.file_cyacd.get());
    std::unique_ptr<TemporaryRowFile> temporary = create_temporary(os, target.get());
    write_lines(state, temporary->file());
    temporary->close();
    temporary->replace(target.get());
}

}  // namespace rowmint
