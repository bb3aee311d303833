// The HEX path is where the tool writes, before anything is converted. Given
// in the wrong order ("objcopy app.hex app.elf app.cyacd"), the paths would
// have the tool write over the firmware or an earlier row file; given a
// device or a pipe, the tool would write into it. Each is refused before the
// tool runs; any other file there (an earlier HEX file, an empty file, a
// scratch file a script reuses) is the tool's to write over.
#include "capi/objects.hpp"
#include "convert/conversion.hpp"
#include "convert/file_system.hpp"
#include "formats/row_line.hpp"

#include <algorithm>
#include <cerrno>
#include <string>

namespace rowmint {
namespace {

constexpr std::string_view elf_magic{"\x7f" "ELF", 4};

// A file descriptor from os.open, closed through os.close however reading
// it ends.
class OpenFile {
public:
    OpenFile(Ref os, Ref descriptor) : os_(std::move(os)), descriptor_(std::move(descriptor)) {}
    ~OpenFile()
    {
        if (descriptor_) {
            PendingError keep_error;  // a failure to close never replaces it
            Ref closed = Ref::steal(PyObject_CallMethod(os_.get(), "close", "O", descriptor_.get()));
        }
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    PyObject* descriptor() const { return descriptor_.get(); }
    void close()
    {
        Ref descriptor = std::move(descriptor_);
        call_method(os_.get(), "close", descriptor.get());
    }

private:
    Ref os_;
    Ref descriptor_;
};

// An error that means the file cannot be read here, which is the tool's to
// meet, not ours.
bool cannot_be_read()
{
    if (!PyErr_ExceptionMatches(PyExc_OSError) && !PyErr_ExceptionMatches(PyExc_ValueError)) {
        return false;
    }
    PyErr_Clear();
    return true;
}

// Up to `count` bytes from the start of the file, through os.open and
// os.read; nothing when it cannot be opened or read.
std::optional<std::string> first_bytes(const FileSystem& files, PyObject* path, Py_ssize_t count)
{
    Ref flags = getattr(files.os.get(), "O_RDONLY");
    if (std::optional<Ref> binary = optional_attr(files.os.get(), "O_BINARY")) {
        flags = check(PyNumber_Or(flags.get(), binary->get()));  // no text translation on Windows
    }
    Ref descriptor = Ref::steal(PyObject_CallMethod(files.os.get(), "open", "OO", path, flags.get()));
    if (!descriptor) {
        if (cannot_be_read()) {
            return std::nullopt;
        }
        throw PythonError{};
    }
    OpenFile file(files.os, std::move(descriptor));
    std::string bytes;
    while (static_cast<Py_ssize_t>(bytes.size()) < count) {
        Ref wanted = make_int(count - static_cast<Py_ssize_t>(bytes.size()));
        Ref chunk = Ref::steal(PyObject_CallMethod(files.os.get(), "read", "OO", file.descriptor(), wanted.get()));
        if (!chunk) {
            if (cannot_be_read()) {
                return std::nullopt;
            }
            throw PythonError{};
        }
        char* data = nullptr;
        Py_ssize_t size = 0;
        check_status(PyBytes_AsStringAndSize(chunk.get(), &data, &size));
        if (size == 0) {
            break;
        }
        bytes.append(data, static_cast<size_t>(std::min(size, count - static_cast<Py_ssize_t>(bytes.size()))));
    }
    file.close();
    return bytes;
}

bool begins_with(const std::string& bytes, std::string_view start)
{
    return bytes.size() >= start.size() && std::string_view(bytes).substr(0, start.size()) == start;
}

// A file that begins as an ELF file or a row file is what the user keeps.
void refuse_a_file_the_user_keeps(const FileSystem& files, PyObject* hex_path)
{
    std::string_view header(header_line);
    std::optional<std::string> start = first_bytes(files, hex_path, static_cast<Py_ssize_t>(header.size()));
    if (!start) {
        return;  // left to the tool, which says why it cannot write there
    }
    if (begins_with(*start, elf_magic)) {
        raise(PyExc_ValueError, "the HEX path names an ELF file; the tool would write over it");
    }
    if (begins_with(*start, header)) {
        raise(PyExc_ValueError, "the HEX path names a row file; the tool would write over it");
    }
}

}  // namespace

void refuse_a_hex_path_the_user_keeps(const FileSystem& files, PyObject* hex_path)
{
    FileKind kind = kind_of_file(files, hex_path);
    if (kind == FileKind::device_pipe_or_socket) {
        raise(PyExc_ValueError, "the HEX path names a device, a pipe or a socket, not a file");
    }
    require_a_folder_for(files, hex_path, hex_path);
    if (kind == FileKind::folder) {
        raise_os_error(EISDIR, hex_path);
    }
    if (kind == FileKind::regular) {
        refuse_a_file_the_user_keeps(files, hex_path);
    }
}

}  // namespace rowmint
