# One drag with the real pointer: the test program (filtered to the xdotool case) piped into
# the driver script, which presses, moves and releases when the program is ready.
if(NOT DEFINED ENV{DISPLAY})
  message("no X display: skipped")
  return()
endif()
set(ENV{TESSEL_XDOTOOL_DRAG} 1)
execute_process(COMMAND ${EMULATOR} ${TESTS} --gtest_filter=Win_FeedbackDrag.*
                COMMAND sh ${DRIVER}
                RESULTS_VARIABLE results OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
if(NOT results STREQUAL "0;0" OR NOT out MATCHES "\\[  PASSED  \\] 1 test")
  message(FATAL_ERROR "drag failed (${results}):\n${out}\n${err}")
endif()
