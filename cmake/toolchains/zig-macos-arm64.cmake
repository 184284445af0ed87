# The forwarder for macOS on Apple silicon: compiled and linked here, never run.
set(QSB_ZIG_TARGET aarch64-macos)
set(CMAKE_SYSTEM_PROCESSOR arm64)
include(${CMAKE_CURRENT_LIST_DIR}/zig-common.cmake)
