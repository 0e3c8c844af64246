# Cross-builds for 64-bit Windows with Debian's MinGW-w64, POSIX thread model (the
# standard library's threads need it); `make test-windows` uses it:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DQUORREL_STORE_ONLY=ON
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUORREL_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUORREL_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORREL_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${QUORREL_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUORREL_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's own libraries are linked in, so a program runs without DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
