# Cross-compiles for Windows x86-64 with Debian's mingw-w64 toolchain.
#
#   cmake -S . -B build-win -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The posix thread model is the one with std::thread and std::mutex (and the
# one GoogleTest builds with); the plain compiler names point at the win32
# model when both are installed, so the -posix names are spelled out.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Fully static: a program whose runtime DLL is missing just exits with 53
# under wine, without a word.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test binaries (and GoogleTest's discovery) run through wine.
find_program(VELKRAND_WINE wine)
if(VELKRAND_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VELKRAND_WINE})
endif()
