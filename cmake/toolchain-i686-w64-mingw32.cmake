# Cross-compiling for 32-bit Windows with Debian's mingw-w64 (package g++-mingw-w64-i686).
# The -win32 thread-model compilers use Windows' own threads, so nothing needs winpthread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(ORVEX_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${ORVEX_MINGW_TRIPLET}-gcc-win32)
set(CMAKE_CXX_COMPILER ${ORVEX_MINGW_TRIPLET}-g++-win32)
set(CMAKE_RC_COMPILER ${ORVEX_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ORVEX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
