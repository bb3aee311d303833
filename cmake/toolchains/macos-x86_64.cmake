# The x86_64 slice of the macOS wheel.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ROWMINT_ZIG_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/macos.cmake)
