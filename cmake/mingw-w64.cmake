# Cross-build for 64-bit Windows with Debian's mingw-w64 (posix thread model,
# which gives the standard library its threads and mutexes):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUELT_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUELT_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUELT_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QUELT_MINGW_PREFIX}-windres)
set(QUELT_MINGW_OBJDUMP ${QUELT_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${QUELT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
