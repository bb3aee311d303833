// Before the object-copy tool runs: a conversion never writes over its ELF
// file or anything else the user keeps, and never starts when its row file
// has nowhere to go. When one of these refuses, nothing has run and nothing
// has changed.
#include "capi/namespace.hpp"
#include "capi/objects.hpp"
#include "convert/conversion.hpp"
#include "convert/file_system.hpp"

#include <cerrno>

namespace rowmint {
namespace {

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

// The row file's folder must be a folder, and the row file must not be one.
void require_a_place_for_the_row_file(const FileSystem& files, const ConversionState& state)
{
    PyObject* target = state.row_file_target.get();
    require_a_folder_for(files, target, state.row_file_path.get());
    if (files.ask("isdir", target)) {
        raise_os_error(EISDIR, state.row_file_path.get());
    }
}

// Replacing a device node or a pipe by a regular file would take it from
// everything else that uses it (run as root: /dev/null).
void require_the_row_file_to_be_a_file(const FileSystem& files, const ConversionState& state)
{
    if (kind_of_file(files, state.row_file_path.get()) == FileKind::device_pipe_or_socket) {
        raise(PyExc_ValueError, "the row-file path names a device, a pipe or a socket, not a file");
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
    refuse_a_hex_path_the_user_keeps(files, state.file_hex.get());
    state.row_file_target = resolve_links(files, state.row_file_path.get());
    require_a_place_for_the_row_file(files, state);
    require_the_row_file_to_be_a_file(files, state);
}

}  // namespace rowmint
