# Runs a program that waits through peakrss: it must print GOLDEN's output, exit 0, and use
# less CPU time (user and system, from wait4) than MAX_CPU_MS: the memory policy works in
# the program's idle time without spinning.
# Inputs: MKIMAGE, TESSEL, PEAKRSS, KERNEL_DIR, SOURCE, NAME, GOLDEN (path without suffix),
# WORK, MAX_CPU_MS.
include(${CMAKE_CURRENT_LIST_DIR}/makeImage.cmake)
file(READ ${GOLDEN}.out want_out)
execute_process(COMMAND ${PEAKRSS} ${TESSEL} -noherald ${image} ${NAME} WORKING_DIRECTORY ${WORK}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
if(NOT status EQUAL 0 OR NOT out STREQUAL want_out)
  message(FATAL_ERROR "${NAME}: status ${status}\n${out}${err}")
endif()
if(NOT err MATCHES "CPU time: ([0-9]+) ms")
  message(FATAL_ERROR "${NAME}: no CPU time in\n${err}")
endif()
if(CMAKE_MATCH_1 GREATER MAX_CPU_MS)
  message(FATAL_ERROR "${NAME}: ${CMAKE_MATCH_1} ms of CPU time, more than ${MAX_CPU_MS}")
endif()
