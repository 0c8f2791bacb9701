# Toolchain file: 32-bit Windows executables with mingw-w64 (i686).
#
# Use:  cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
#
# Needs Debian's g++-mingw-w64-i686-posix (the posix thread model, which
# GoogleTest needs for its Windows build) and binutils-mingw-w64-i686.
# Programs link the compiler's runtime statically (see CMakeLists.txt), so
# they import only system DLLs, and run under Wine for the tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(BK_MINGW i686-w64-mingw32)
set(CMAKE_C_COMPILER ${BK_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BK_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${BK_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${BK_MINGW})

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Wine runs the test executables when CTest calls them.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
