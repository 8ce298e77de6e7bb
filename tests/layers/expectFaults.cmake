# Runs the layering check over SRC and passes only when it fails naming exactly the faults
# listed in EXPECTED (a file, one fault a line), in order.
#   cmake -DSRC=<tree> -DEXPECTED=<file> -P expectFaults.cmake
cmake_minimum_required(VERSION 3.20)
get_filename_component(SRC "${SRC}" ABSOLUTE)
execute_process(COMMAND ${CMAKE_COMMAND} -DSRC=${SRC} -P ${CMAKE_CURRENT_LIST_DIR}/layers.cmake
  RESULT_VARIABLE result ERROR_VARIABLE output OUTPUT_VARIABLE output)
if(result EQUAL 0)
  message(FATAL_ERROR "the check passed over ${SRC}:\n${output}")
endif()
string(REGEX MATCHALL "[^\n]* may not include [^\n]*" found "${output}")
list(TRANSFORM found STRIP)
file(STRINGS ${EXPECTED} expected)
if(NOT found STREQUAL expected)
  string(REPLACE ";" "\n" found "${found}")
  string(REPLACE ";" "\n" expected "${expected}")
  message(FATAL_ERROR "faults named:\n${found}\nexpected:\n${expected}\noutput:\n${output}")
endif()
