// The object-copy command line and the check of what the tool returned.
#pragma once

#include "capi/ref.hpp"

namespace rowmint {

// objcopy + " -O ihex " + elf + " " + hex, with the two paths quoted for the
// shell of the platform that `os` names. objcopy goes in as the caller wrote
// it: it may carry options of its own.
Ref build_tool_command(PyObject* os, PyObject* objcopy, PyObject* file_elf, PyObject* file_hex);

// Raises subprocess.CalledProcessError when os.system reported a failure.
void check_tool_status(PyObject* os, PyObject* status, PyObject* cmd);

}  // namespace rowmint
