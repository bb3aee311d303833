# Shared by the two macOS slices: macOS 11.0 or later, the oldest release
# whose libSystem Zig knows. dev/wheels.sh joins the slices into the
# universal2 wheel.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_OSX_DEPLOYMENT_TARGET 11.0)
set(ROWMINT_ZIG_TARGET ${ROWMINT_ZIG_ARCH}-macos.11.0)
# Loaded after CMake's own rules for macOS: the module is linked as a dynamic
# library, which the interpreter loads as it loads a bundle, since Zig's
# linker cannot write bundles.
set(CMAKE_USER_MAKE_RULES_OVERRIDE ${CMAKE_CURRENT_LIST_DIR}/macos-rules.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
