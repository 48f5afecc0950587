# Runs an example where no server answers (port 1 of 127.0.0.1 refuses) and
# expects what a script calling it relies on: the version, the failed open
# with the library's network error, and a status that says it failed.
#   cmake -DPROGRAM=<example> -P open_failure.cmake
execute_process(COMMAND ${PROGRAM} 127.0.0.1 1 1
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 50)
message(STATUS "${PROGRAM} exited with ${rc}:\n${out}${err}")
if(NOT out MATCHES "library version v1\\.1\\.202105\\.2")
  message(FATAL_ERROR "no library version printed")
endif()
if(NOT out MATCHES "failed: -99")
  message(FATAL_ERROR "the failed open was not reported with -99")
endif()
if(NOT rc MATCHES "^[0-9]+$" OR rc EQUAL 0)
  message(FATAL_ERROR "exit status '${rc}': a failed open must exit non-zero")
endif()
