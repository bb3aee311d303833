# The arm64 slice of the macOS wheel.
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(ROWMINT_ZIG_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/macos.cmake)
