# The forwarder for macOS on Intel: compiled and linked here, never run.
set(QSB_ZIG_TARGET x86_64-macos)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/zig-common.cmake)
