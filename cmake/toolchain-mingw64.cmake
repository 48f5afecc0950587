# Cross-compiles for Windows x64 with Debian's MinGW-w64 (g++-mingw-w64-x86-64).
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
# The posix flavour of the compilers is the one whose C++ runtime has
# std::thread, std::mutex and std::condition_variable (over winpthreads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZAVO_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZAVO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZAVO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZAVO_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${ZAVO_MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "archiver")
set(CMAKE_RANLIB ${ZAVO_MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "ranlib")
set(CMAKE_DLLTOOL ${ZAVO_MINGW_TRIPLET}-dlltool CACHE FILEPATH "import library tool")

# Libraries and headers come from the cross root (and from prefixes given in
# CMAKE_PREFIX_PATH, such as the cross-built libuv); programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ZAVO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under wine when it is there.
find_program(ZAVO_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(ZAVO_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZAVO_WINE64})
endif()
