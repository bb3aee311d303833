// The file system as the checks before the tool reach it: through the
// module's `os` and its `path`, as everywhere else, so that a caller's
// stand-in sees every call.
#pragma once

#include "capi/ref.hpp"

namespace rowmint {

struct FileSystem {
    Ref os;
    Ref path;

    // os.path.QUESTION(a), taken as a truth value.
    bool ask(const char* question, PyObject* a) const;
};

// What os.stat, links followed, finds at a path. `unknown` when it finds
// nothing, or cannot look (an OSError or ValueError, as os.path.exists
// takes them).
enum class FileKind { unknown, regular, folder, device_pipe_or_socket, other };
FileKind kind_of_file(const FileSystem& files, PyObject* path);

// OSError(code, the system's text for it, path): the subclass the code
// stands for, as the interpreter makes it for a failed system call.
[[noreturn]] void raise_os_error(int code, PyObject* path);

// The folder `path` lies in (the current folder for a bare name) must be a
// folder. A folder that is missing, or lies below something that is not a
// folder, gets the error the system gives for it, named after `named`.
void require_a_folder_for(const FileSystem& files, PyObject* path, PyObject* named);

// Makes the OSError in flight name `path` alone: the error of a failed
// system call about a file the caller never gave (a temporary file, a
// folder, the file a link points to) is about the caller's file.
void name_the_file(PyObject* path) noexcept;

}  // namespace rowmint
