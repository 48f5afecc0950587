# zavo_man_page(<target> <one-line summary>)
# Writes <target>.1.gz from the program's own --help text once the program is
# built, and installs it with the tools. The page cannot drift from the
# options the program really takes, and a program whose --help fails breaks
# the build instead of shipping an empty page.
set(ZAVO_MAN_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/zavo_man.cmake)
find_program(ZAVO_GZIP gzip)

function(zavo_man_page target summary)
  if(NOT TARGET ${target} OR CMAKE_CROSSCOMPILING OR NOT ZAVO_GZIP)
    return()
  endif()
  set(dir ${CMAKE_BINARY_DIR}/man)
  set(page ${dir}/${target}.1)
  # The program runs from a scratch directory: anything it writes there (a
  # log directory, for instance) stays out of the way. Sanitizer builds run
  # it too; a leak in --help is not what this step is about.
  file(MAKE_DIRECTORY ${dir}/run)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
            ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${target}> -DNAME=${target}
            "-DSUMMARY=${summary}" -DVERSION=${PROJECT_VERSION} -DOUTPUT=${page}
            -DGZIP=${ZAVO_GZIP}
            -P ${ZAVO_MAN_SCRIPT}
    WORKING_DIRECTORY ${dir}/run
    DEPENDS ${target} ${ZAVO_MAN_SCRIPT}
    COMMENT "Writing the manual page of ${target}"
    VERBATIM)
  add_custom_target(${target}_man ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endfunction()
