// Writing the row file. The lines go to a new file beside the target, which
// then replaces the target in one step: a failed write never leaves a
// partial file that looks like a row file, and never destroys the old one.
#include "capi/namespace.hpp"
#include "capi/objects.hpp"
#include "convert/conversion.hpp"
#include "convert/file_system.hpp"

#include <cstdint>
#include <random>

namespace rowmint {
namespace {

// ".cyacd-" and 12 random hex digits: 23 characters whatever the row file's
// name, so that a name as long as the file system allows is still a row
// file's name, and no temporary one is ever too long.
std::string random_name()
{
    static std::mt19937_64 generator{std::random_device{}()};
    static const char digits[] = "0123456789abcdef";
    std::string name = ".cyacd-";
    std::uint64_t value = generator();
    for (int i = 0; i < 12; ++i, value >>= 4) {
        name += digits[value & 15];
    }
    return name + ".tmp";
}

// Text of the same kind as the path (str or bytes).
Ref same_kind(PyObject* path_part, const std::string& ascii)
{
    if (PyBytes_Check(path_part)) {
        return check(PyBytes_FromStringAndSize(ascii.data(), static_cast<Py_ssize_t>(ascii.size())));
    }
    return make_str(ascii);
}

// The temporary file beside the target until it has replaced the target;
// removed when anything fails before that.
class TemporaryRowFile {
public:
    TemporaryRowFile(Ref os, const Hook& open) : os_(std::move(os)), open_(open) {}
    ~TemporaryRowFile()
    {
        if (!path_ || committed_) {
            return;
        }
        PendingError keep_error;  // cleanup failures never replace it
        if (file_) {
            Ref closed = Ref::steal(PyObject_CallMethod(file_.get(), "close", nullptr));
            PyErr_Clear();
        }
        if (mode_taken_) {
            // A read-only file cannot be removed on Windows.
            Ref writable = Ref::steal(PyObject_CallMethod(os_.get(), "chmod", "Oi", path_.get(), 0600));
            PyErr_Clear();
        }
        Ref removed = Ref::steal(PyObject_CallMethod(os_.get(), "remove", "O", path_.get()));
    }
    TemporaryRowFile(const TemporaryRowFile&) = delete;
    TemporaryRowFile& operator=(const TemporaryRowFile&) = delete;

    // A fresh file in the target's folder, created the way open() creates
    // any new file (so it gets the usual permissions), never one that exists.
    void create_beside(PyObject* target);
    PyObject* file() const { return file_.get(); }

    void close()
    {
        Ref file = std::move(file_);
        call_method(file.get(), "close");
    }
    // An existing target's permission bits carry over to the new file.
    void take_mode_of(PyObject* target);
    void replace(PyObject* target)
    {
        Ref replace = getattr(os_.get(), "replace");
        call(replace.get(), path_.get(), target);
        committed_ = true;
    }

private:
    Ref os_;
    const Hook& open_;
    Ref path_;  // set once the file exists
    Ref file_;
    bool mode_taken_ = false;
    bool committed_ = false;
};

void TemporaryRowFile::create_beside(PyObject* target)
{
    Ref path_module = getattr(os_.get(), "path");
    Ref split = getattr(path_module.get(), "split");
    Ref join = getattr(path_module.get(), "join");
    Ref parts = call(split.get(), target);
    Ref folder = get_item(parts.get(), 0);
    Ref name = get_item(parts.get(), 1);
    Ref mode = make_str("x");
    for (int attempt = 0;; ++attempt) {
        Ref temporary_name = same_kind(name.get(), random_name());
        Ref path = call(join.get(), folder.get(), temporary_name.get());
        // Owned at once, so that nothing between here and the end can leave
        // the new file behind.
        file_ = Ref::steal(PyObject_CallFunctionObjArgs(open_.callable.get(), path.get(), mode.get(), nullptr));
        if (file_) {
            path_ = std::move(path);
            return;
        }
        if (attempt >= 100 || !PyErr_ExceptionMatches(PyExc_FileExistsError)) {
            throw PythonError{};
        }
        PyErr_Clear();
    }
}

void TemporaryRowFile::take_mode_of(PyObject* target)
{
    Ref stat = getattr(os_.get(), "stat");
    Ref status = Ref::steal(PyObject_CallFunctionObjArgs(stat.get(), target, nullptr));
    if (!status) {
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
            throw PythonError{};
        }
        PyErr_Clear();  // a new row file: the usual permissions of a new file
        return;
    }
    Ref mode = getattr(status.get(), "st_mode");
    Ref permission_bits = make_int(07777);
    Ref bits = check(PyNumber_And(mode.get(), permission_bits.get()));
    mode_taken_ = true;
    call_method(os_.get(), "chmod", path_.get(), bits.get());
}

// The whole file as ASCII text, when every row line is.
std::optional<std::string> file_contents(const ConversionState& state)
{
    std::string contents = std::string(header_line) + "\n";
    contents.reserve(contents.size() + state.row_lines.size() * (row_prefix_length + row_digits + 3));
    for (const RowLine& line : state.row_lines) {
        std::optional<std::string_view> text = line.text.ascii_slice(0, std::nullopt);
        if (!text) {
            return std::nullopt;
        }
        contents += *text;
        contents += '\n';
    }
    return contents;
}

// Each line followed by "\n"; text mode turns it into the platform's line end.
void write_lines(const ConversionState& state, PyObject* file)
{
    std::optional<std::string> contents;
    if (state.hooks.open.is_standard) {
        contents = file_contents(state);
    }
    if (contents) {
        // The interpreter's own text file: the whole file in a few writes,
        // of a size its buffer takes without one huge string per call.
        constexpr size_t piece = 1 << 16;
        for (size_t at = 0; at < contents->size(); at += piece) {
            Ref text = make_str(std::string_view(*contents).substr(at, piece));
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
    PyObject* target = state.row_file_target.get();
    try {
        TemporaryRowFile temporary(os, state.hooks.open);
        temporary.create_beside(target);
        write_lines(state, temporary.file());
        temporary.close();
        temporary.take_mode_of(target);
        temporary.replace(target);
    } catch (const PythonError&) {
        // Named by the path the caller gave, never the temporary file or the
        // file a link points to.
        name_the_file(state.row_file_path.get());
        throw;
    }
}

}  // namespace rowmint
