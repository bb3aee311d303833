# Shared by the toolchain files beside it: Zig's clang compiles and links for
# ROWMINT_ZIG_TARGET from any host. Zig brings the target's C library (glibc
# of the version the target names, MinGW-w64 over the universal C runtime,
# macOS's libSystem as stubs) and builds its own libc++, which it links in
# statically, so the module needs nothing of the C++ runtime where it runs.
#
# Zig itself: the ZIG environment variable (a path, or a command line such as
# "python -m ziglang"), else `zig` on PATH. The target's interpreter is not
# here: pass its headers as Python_INCLUDE_DIR (and, for Windows, an import
# library of python3.dll as Python_SABI_LIBRARY); dev/wheels.sh does.
if(DEFINED ENV{ZIG})
  separate_arguments(rowmint_zig UNIX_COMMAND "$ENV{ZIG}")
else()
  find_program(rowmint_zig zig REQUIRED)
endif()

set(CMAKE_C_COMPILER ${rowmint_zig} cc -target ${ROWMINT_ZIG_TARGET})
set(CMAKE_CXX_COMPILER ${rowmint_zig} c++ -target ${ROWMINT_ZIG_TARGET})

# Nothing of the host's own libraries or headers may be found for the target.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
