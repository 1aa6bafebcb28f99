# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (packages
# g++-mingw-w64-x86-64-posix and wine to run the result):
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-toolchain.cmake ...
# The POSIX-threads variant of the compiler provides std::thread.  Programs
# are linked statically (C++ runtime and threads library included) so that
# they run without MinGW's DLLs next to them; ctest runs them under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(LEDGERLY_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${LEDGERLY_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LEDGERLY_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${LEDGERLY_MINGW_PREFIX}-windres)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_FIND_ROOT_PATH /usr/${LEDGERLY_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

find_program(LEDGERLY_WINE NAMES wine wine64)
if(LEDGERLY_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LEDGERLY_WINE})
endif()
