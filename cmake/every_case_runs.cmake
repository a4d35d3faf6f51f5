# Fails when the test program PROGRAM holds a case that none of its CTest
# entries runs: FILTER is the negation of every entry's filter, so the
# program must list no case under it (a case is listed indented under its
# suite). EMULATOR runs a cross-built program.
if(EMULATOR)
  set(run ${EMULATOR} ${PROGRAM})
else()
  set(run ${PROGRAM})
endif()
execute_process(COMMAND ${run} --gtest_list_tests OUTPUT_VARIABLE all RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --gtest_list_tests ended with ${status}")
endif()
if(NOT all MATCHES "\n  [A-Za-z]")
  message(FATAL_ERROR "${PROGRAM} lists no case at all:\n${all}")
endif()
execute_process(COMMAND ${run} --gtest_list_tests "--gtest_filter=${FILTER}" OUTPUT_VARIABLE left
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --gtest_list_tests ended with ${status}")
endif()
if(left MATCHES "\n  [A-Za-z_]")
  message(FATAL_ERROR "cases that no CTest entry of ${PROGRAM} runs:\n${left}")
endif()
message(STATUS "every case of ${PROGRAM} belongs to an entry")
