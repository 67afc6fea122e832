# SPDX-License-Identifier: MIT
# Cross-builds for 64-bit Windows with Debian's MinGW-w64, and runs what it builds under wine.
# Usage: cmake -S . -B build-windows --toolchain cmake/mingw-w64-x86_64.cmake -DTOLVAR_FRONTEND=none
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOLVAR_MINGW x86_64-w64-mingw32)
# The -posix compilers: GoogleTest needs the threads of the posix model, which the default
# (win32) model lacks.
set(CMAKE_C_COMPILER ${TOLVAR_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOLVAR_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TOLVAR_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TOLVAR_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: the .exe runs under wine, or is copied to Windows, without MinGW's DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# ctest and gtest_discover_tests start each test program through this.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
# Test programs are listed when ctest runs, not when they are built: wine runs only inside the
# test session, where COM1 cannot reach the machine's real serial port.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
