# Fails when the test program PROGRAM has a test that none of its files'
# filters (FILTER, ':'-joined) selects: CTest would never run that test.
execute_process(COMMAND ${PROGRAM} --gtest_list_tests "--gtest_filter=-${FILTER}"
  OUTPUT_VARIABLE listed RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --gtest_list_tests failed (${rc}):\n${listed}")
endif()
# gtest_main announces itself before the list.
string(REGEX REPLACE "Running main\\(\\) from [^\n]*" "" listed "${listed}")
string(STRIP "${listed}" listed)
if(listed)
  message(FATAL_ERROR "${PROGRAM} has tests that no file of its TESTS list selects "
    "(their suite names are not found in any listed file):\n${listed}")
endif()
