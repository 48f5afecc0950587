# Runs the binding's pytest suite against the extension of this build tree.
# pytest's status 5 means it collected nothing, which here can only be a
# broken suite: it fails the test with that said plainly.
set(ENV{PYTHONPATH} "${PACKAGE_PARENT}")
set(ENV{ZAVO_SIM} "${SIM}")
if(RECORD)
  set(ENV{ZAVO_RECORD} "${RECORD}")
endif()
set(ENV{PYTHONDONTWRITEBYTECODE} "1")
execute_process(
  COMMAND ${PYTHON} -m pytest -q -p no:cacheprovider ${TESTS}
  RESULT_VARIABLE rc)
if(rc EQUAL 5)
  message(FATAL_ERROR "pytest collected no tests from ${TESTS}")
elseif(NOT rc EQUAL 0)
  message(FATAL_ERROR "pytest failed (status ${rc})")
endif()
