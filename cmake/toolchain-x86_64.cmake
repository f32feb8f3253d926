# Cross build of the 64-bit x86-64 programs with MinGW-w64 (Debian's
# g++-mingw-w64-x86-64). The win32 thread model is preferred: it needs no
# winpthread, which keeps the static programs small.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(_kvi_triplet x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${_kvi_triplet}-gcc-win32 ${_kvi_triplet}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${_kvi_triplet}-g++-win32 ${_kvi_triplet}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${_kvi_triplet}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${_kvi_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
