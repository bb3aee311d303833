# macOS 11.0 or later on x86_64: the oldest release whose libSystem Zig knows.
# One slice of the universal2 wheel; dev/wheels.sh joins the two.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_OSX_DEPLOYMENT_TARGET 11.0)
set(ROWMINT_ZIG_TARGET x86_64-macos.11.0)
set(CMAKE_USER_MAKE_RULES_OVERRIDE ${CMAKE_CURRENT_LIST_DIR}/macos-module.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
