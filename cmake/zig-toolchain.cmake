# Cross-compiling with zig's Clang and C libraries (the ziglang package of
# PyPI: python3 -m pip install ziglang), which target macOS without its SDK
# and Linux with any glibc version.  Give the target triple as ZIG_TARGET:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake -DZIG_TARGET=aarch64-macos ...
#   ZIG_TARGET: x86_64-macos, aarch64-macos, x86_64-linux-gnu.2.28, ...
# zig links its own libc++ statically, so the binaries need no C++ runtime
# on the target system.
if(NOT ZIG_TARGET)
  message(FATAL_ERROR "cmake/zig-toolchain.cmake needs -DZIG_TARGET=<triple>")
endif()
# try_compile projects read this file again and need the target too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG_TARGET)

string(REGEX MATCH "^[^-]+" LEDGERLY_ZIG_ARCH "${ZIG_TARGET}")
if(ZIG_TARGET MATCHES "macos")
  set(CMAKE_SYSTEM_NAME Darwin)
  # No SDK: zig brings the system headers and libraries' stubs.
  set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
  if(LEDGERLY_ZIG_ARCH STREQUAL "aarch64")
    set(CMAKE_SYSTEM_PROCESSOR arm64)
  else()
    set(CMAKE_SYSTEM_PROCESSOR ${LEDGERLY_ZIG_ARCH})
  endif()
elseif(NOT CMAKE_HOST_SYSTEM_NAME STREQUAL "Linux" OR
       NOT CMAKE_HOST_SYSTEM_PROCESSOR STREQUAL LEDGERLY_ZIG_ARCH)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${LEDGERLY_ZIG_ARCH})
endif()
# A Linux target of the host's own processor is no cross build (only the
# glibc version differs): programs run here, and CMake finds this
# machine's Python as usual.

set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/../tools/zig/cc)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/../tools/zig/c++)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/../tools/zig/ar CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/../tools/zig/ranlib CACHE FILEPATH "" FORCE)
set(CMAKE_C_FLAGS_INIT "-target ${ZIG_TARGET}")
set(CMAKE_CXX_FLAGS_INIT "-target ${ZIG_TARGET}")

if(CMAKE_SYSTEM_NAME)
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
endif()
