# 64-bit Windows: MinGW-w64's headers over the universal C runtime
# (api-ms-win-crt-*), as CPython's own build uses it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ROWMINT_ZIG_TARGET x86_64-windows-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
