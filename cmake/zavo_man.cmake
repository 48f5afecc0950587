# cmake -DPROGRAM=... -DNAME=... -DSUMMARY=... -DVERSION=... -DOUTPUT=x.1 -P zavo_man.cmake
# Turns the program's --help text into a section-1 manual page, gzipped.
execute_process(COMMAND ${PROGRAM} --help
  RESULT_VARIABLE rc OUTPUT_VARIABLE help ERROR_VARIABLE help_err)
string(APPEND help "${help_err}")
# A usage line built from argv[0] names the build tree; the page names the
# program as it is installed.
string(REPLACE "${PROGRAM}" "${NAME}" help "${help}")
if(NOT rc EQUAL 0 OR help STREQUAL "")
  message(FATAL_ERROR "${NAME} --help failed (status ${rc}): ${help}")
endif()

# roff: a backslash starts an escape, and a line starting with a dot or an
# apostrophe is a request; both are made literal.
string(REPLACE "\\" "\\e" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(REPLACE "-" "\\-" help "${help}")
string(TOUPPER "${NAME}" upper)
string(REPLACE "-" "\\-" name_roff "${NAME}")

file(WRITE ${OUTPUT}
".TH ${upper} 1 \"\" \"zavo_api ${VERSION}\" \"User Commands\"
.SH NAME
${name_roff} \\- ${SUMMARY}
.SH DESCRIPTION
The text below is what
.B ${name_roff} \\-\\-help
prints.
.PP
.nf
${help}
.fi
")
execute_process(COMMAND ${GZIP} -9nf ${OUTPUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip ${OUTPUT} failed (status ${rc})")
endif()
