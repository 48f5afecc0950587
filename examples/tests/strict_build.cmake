# Builds the examples the way a user's own strict build would: plain C11
# (no feature-test macro on the command line) and C++17, every warning an
# error, against the public header and the shared library alone.
#   cmake -DCC=... -DCXX=... -DSRC=<examples> -DINCLUDE=<include dir>
#         -DLIBDIR=<dir of libzavo_api.so> -DOUT=<scratch dir> -P strict_build.cmake
file(MAKE_DIRECTORY ${OUT})
set(common -Wall -Wextra -Wpedantic -Werror -I${INCLUDE} -L${LIBDIR} -lzavo_api)
foreach(build IN ITEMS "${CC};-std=c11;${SRC}/minimal.c" "${CXX};-std=c++17;${SRC}/minimal.cpp;-pthread")
  list(GET build 0 compiler)
  list(GET build 2 source)
  list(REMOVE_AT build 0)
  get_filename_component(name ${source} NAME_WE)
  get_filename_component(ext ${source} EXT)
  execute_process(COMMAND ${compiler} ${build} ${common} -o ${OUT}/${name}${ext}.bin
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${source} does not build with ${build}:\n${out}${err}")
  endif()
  message(STATUS "${source}: builds warning-free")
endforeach()
