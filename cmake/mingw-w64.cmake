# Cross build for 64-bit Windows with the mingw-w64 compiler (Debian:
# g++-mingw-w64-x86-64-posix, whose posix thread model std::thread needs).
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#   cmake --build build-win -j2
#
# The tests run under Wine (CMAKE_CROSSCOMPILING_EMULATOR).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TERVAN_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${TERVAN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TERVAN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TERVAN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TERVAN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything the programs need from the compiler's runtime is linked in, so
# Tervan.exe, zelsim.exe and tervlink.dll run on a Windows machine with
# nothing else installed.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

find_program(TERVAN_WINE NAMES wine wine64)
if(TERVAN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TERVAN_WINE})
endif()
