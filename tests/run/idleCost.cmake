# Runs a program that waits through peakrss: it must print GOLDEN's output, exit 0, and use
# less CPU time (user and system, from wait4) than MAX_CPU_MS: the memory policy works in
# the program's idle time without spinning. With MAX_WALL_PERCENT, the CPU time must also stay
# within that share of the wall time: the waits are spent asleep.
# Inputs: MKIMAGE, TESSEL, PEAKRSS, KERNEL_DIR, SOURCE, NAME, GOLDEN (path without suffix),
# WORK, MAX_CPU_MS, ARGS (optional arguments for the program), MAX_WALL_PERCENT (optional).
include(${CMAKE_CURRENT_LIST_DIR}/makeImage.cmake)
file(READ ${GOLDEN}.out want_out)
separate_arguments(arguments UNIX_COMMAND "${ARGS}")
execute_process(COMMAND ${PEAKRSS} ${TESSEL} -noherald ${image} ${NAME} ${arguments} WORKING_DIRECTORY ${WORK}
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
if(DEFINED MAX_WALL_PERCENT)
  set(cpu ${CMAKE_MATCH_1})
  if(NOT err MATCHES "wall time: ([0-9]+) ms")
    message(FATAL_ERROR "${NAME}: no wall time in\n${err}")
  endif()
  math(EXPR share "${cpu} * 100")
  math(EXPR allowed "${CMAKE_MATCH_1} * ${MAX_WALL_PERCENT}")
  if(share GREATER allowed)
    message(FATAL_ERROR "${NAME}: ${cpu} ms of CPU time in ${CMAKE_MATCH_1} ms, more than ${MAX_WALL_PERCENT}%")
  endif()
endif()
