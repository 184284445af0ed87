# Loaded after CMake's Apple platform files: while CMake learns the compiler's
# ABI it asks for a verbose link with -Wl,-v, which zig's Mach-O linker refuses
# ("unsupported linker arg"), and without that ABI CMake knows no pointer size.
set(CMAKE_CXX_VERBOSE_FLAG "-v")
