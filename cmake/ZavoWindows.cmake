# The Windows x64 build, cross-compiled with MinGW-w64
# (cmake/toolchain-mingw64.cmake; scripts/build.sh windows does all of it):
#   bin/zavo_api.dll        the library; libuv, the C++ runtime and winpthreads
#                           are linked in, so it needs nothing but Windows' own
#                           DLLs
#   lib/libzavo_api.dll.a   import library for MinGW (gcc, clang)
#   lib/zavo_api.lib        import library for MSVC (link.exe), from the .def
#   include/zavo_api.h      the same header as on Linux
#   bin/zavo_win_test.exe   the C test program (run under wine against the
#                           Linux simulator: tests/windows/run_wine_test.sh)
#   bin/minimal.exe         the C example
#   bin/zavo_tail.exe       the command-line client (live sessions only)
set(ZAVO_LIBUV_PREFIX "" CACHE PATH "libuv cross-built for MinGW-w64 (scripts/win_libuv.sh)")
if(NOT EXISTS "${ZAVO_LIBUV_PREFIX}/lib/libuv.a" OR NOT EXISTS "${ZAVO_LIBUV_PREFIX}/include/uv.h")
  message(FATAL_ERROR "ZAVO_LIBUV_PREFIX must name a MinGW-w64 build of libuv with lib/libuv.a "
                      "and include/uv.h (scripts/win_libuv.sh makes one)")
endif()
add_library(zavo_libuv_static STATIC IMPORTED)
set_target_properties(zavo_libuv_static PROPERTIES
  IMPORTED_LOCATION "${ZAVO_LIBUV_PREFIX}/lib/libuv.a"
  INTERFACE_INCLUDE_DIRECTORIES "${ZAVO_LIBUV_PREFIX}/include"
  # What libuv itself calls on Windows.
  INTERFACE_LINK_LIBRARIES "ws2_32;iphlpapi;userenv;psapi;dbghelp;ole32;user32;advapi32;shell32")

# Windows 8 and later (WaitOnAddress); the lean headers keep winsock2.h and
# windows.h from fighting, NOMINMAX keeps std::min usable, and the C
# runtime's headers declare localtime_r only when asked; printf and friends
# follow the C standard (%zu, %lld) rather than the system runtime's dialect.
add_compile_definitions(_WIN32_WINNT=0x0602 WIN32_LEAN_AND_MEAN NOMINMAX
  _POSIX_THREAD_SAFE_FUNCTIONS=200112L __USE_MINGW_ANSI_STDIO=1)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)

add_subdirectory(src)

add_library(zavo_api SHARED ${CMAKE_SOURCE_DIR}/src/api/c_api.cpp ${CMAKE_SOURCE_DIR}/cmake/zavo_api.def)
target_compile_definitions(zavo_api PRIVATE ZAVO_API_BUILDING)
target_include_directories(zavo_api PUBLIC ${CMAKE_SOURCE_DIR}/include PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(zavo_api PRIVATE
  -Wl,--whole-archive zavo_apiobj zavo_proto zavo_net zavo_util -Wl,--no-whole-archive
  zavo_libuv_static synchronization)
# -static: libgcc, libstdc++ and winpthreads go into the DLL (Windows' own
# DLLs are still imported), so deploying it is copying one file.
target_link_options(zavo_api PRIVATE -static -Wl,--no-undefined)
set_target_properties(zavo_api PROPERTIES
  PREFIX "" OUTPUT_NAME zavo_api IMPORT_PREFIX "lib" IMPORT_SUFFIX ".dll.a"
  LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/zavo_api.def)
# MSVC's linker takes an import library made from the same .def.
add_custom_command(TARGET zavo_api POST_BUILD
  COMMAND ${CMAKE_DLLTOOL} -m i386:x86-64 -d ${CMAKE_SOURCE_DIR}/cmake/zavo_api.def
          -D zavo_api.dll -l ${CMAKE_BINARY_DIR}/lib/zavo_api.lib
  COMMENT "import library for MSVC: zavo_api.lib")

# Programs: linked the same way, so they run where only the DLL is copied.
function(zavo_windows_program name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE zavo_api)
  target_link_options(${name} PRIVATE -static)
endfunction()

zavo_windows_program(minimal ${CMAKE_SOURCE_DIR}/examples/minimal.c)

# zavo_tail.exe: the command-line client for live sessions (capture files
# need libpcap, which is not cross-built). CLI11 is header-only: the host's
# copy is used through a directory that holds nothing else.
if(ZAVO_BUILD_TOOLS AND EXISTS /usr/include/CLI/CLI.hpp)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/cli11)
  file(CREATE_LINK /usr/include/CLI ${CMAKE_BINARY_DIR}/cli11/CLI SYMBOLIC)
  add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
  target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/cli11)
  add_subdirectory(tools/common)
  file(GLOB ZAVO_BOOK_SRC CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/book/*.cpp)
  add_library(zavo_book_static STATIC ${ZAVO_BOOK_SRC})
  target_include_directories(zavo_book_static PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/include)
  set(ZAVO_TAIL_DIR ${CMAKE_SOURCE_DIR}/tools/zavo_tail)
  zavo_windows_program(zavo_tail ${ZAVO_TAIL_DIR}/main.cpp ${ZAVO_TAIL_DIR}/book_view.cpp
    ${ZAVO_TAIL_DIR}/options.cpp ${ZAVO_TAIL_DIR}/record_format.cpp
    ${ZAVO_TAIL_DIR}/feed_stats.cpp ${ZAVO_TAIL_DIR}/session_watch.cpp
    ${ZAVO_TAIL_DIR}/pcap_source_none.cpp)
  target_include_directories(zavo_tail PRIVATE ${ZAVO_TAIL_DIR})
  target_link_libraries(zavo_tail PRIVATE zavo_cli zavo_book_static ws2_32)
  install(TARGETS zavo_tail RUNTIME DESTINATION bin)
endif()
if(ZAVO_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests/windows)
endif()

install(TARGETS zavo_api RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
# The C example: a first program to run against zavo_sim.
install(TARGETS minimal RUNTIME DESTINATION bin)
install(FILES ${CMAKE_BINARY_DIR}/lib/zavo_api.lib DESTINATION lib)
install(FILES ${CMAKE_SOURCE_DIR}/include/zavo_api.h DESTINATION include)
install(FILES ${CMAKE_SOURCE_DIR}/cmake/zavo_api.def DESTINATION lib)
install(FILES ${ZAVO_LIBUV_PREFIX}/LICENSE.libuv DESTINATION share/doc/zavo_api OPTIONAL)
