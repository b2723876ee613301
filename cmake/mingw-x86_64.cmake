# Cross-build for 64-bit Windows with MinGW-w64; tests run under 64-bit Wine.
# The released module is the 32-bit one (mingw-i686.cmake): this build serves the
# machines that cannot run 32-bit programs, where it still exercises the real
# Windows services. It follows the 64-bit host record layout that the Linux build uses.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
# The posix thread model gives std::mutex, which GoogleTest needs.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The 64-bit loader itself: /usr/bin/wine prefers the 32-bit one when both are installed.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
