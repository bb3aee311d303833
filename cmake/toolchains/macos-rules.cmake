# See macos.cmake: loaded after CMake's rules for macOS.
set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-dynamiclib")
