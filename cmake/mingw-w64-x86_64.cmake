# Cross build for 64-bit Windows with mingw-w64; tests run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The -posix variants: the -win32 ones have no std::thread.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Static runtimes: the binaries then import only KERNEL32 and msvcrt (not libwinpthread-1.dll).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Every test runs under wine, in a prefix of the build tree's own (tests/windows/wine-session
# prepares it and keeps its wineserver running for the length of a test run). With winedbg off, a
# crash ends the test with a failing status instead of starting the crash debugger.
set(TAVO_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "wine prefix the tests run in")
find_program(WINE_EXECUTABLE NAMES wine wine64 PATHS /usr/lib/wine)
set(CMAKE_CROSSCOMPILING_EMULATOR
    /usr/bin/env WINEPREFIX=${TAVO_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml,winedbg.exe= ${WINE_EXECUTABLE})
