# Loaded after CMake's own rules for macOS (CMAKE_USER_MAKE_RULES_OVERRIDE):
# the module is linked as a dynamic library, which the interpreter loads as
# it loads a bundle, since Zig's linker cannot write bundles.
set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-dynamiclib")
