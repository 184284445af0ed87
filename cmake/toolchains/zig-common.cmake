# Shared part of the zig 0.11 toolchains: clang with libc++, and mingw's CRT for
# Windows or zig's own macOS SDK stubs. QSB_ZIG_TARGET is zig's target triple.
set(QSB_ZIG_DIR ${CMAKE_CURRENT_LIST_DIR}/../../tools/zig)
set(CMAKE_CXX_COMPILER ${QSB_ZIG_DIR}/${QSB_ZIG_TARGET}-c++)
set(CMAKE_AR ${QSB_ZIG_DIR}/zig-ar CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB ${QSB_ZIG_DIR}/zig-ranlib CACHE FILEPATH "" FORCE)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
if(QSB_ZIG_TARGET MATCHES "-windows-gnu$")
  set(CMAKE_SYSTEM_NAME Windows)
  # zig 0.11 compiles no resource scripts (zig cc passes a .rc through
  # untouched): LLVM's windres makes the resource object for either machine.
  set(CMAKE_RC_COMPILER llvm-windres-14)
  string(REPLACE "-windows-gnu" "-w64-mingw32" QSB_RC_TARGET ${QSB_ZIG_TARGET})
  set(CMAKE_RC_FLAGS_INIT "--target=${QSB_RC_TARGET}")
else()
  set(CMAKE_SYSTEM_NAME Darwin)
  set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX ${CMAKE_CURRENT_LIST_DIR}/zig-macos-rules.cmake)
endif()
