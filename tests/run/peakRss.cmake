# Runs a program through the real engine with STEPS and with twice STEPS, measuring each
# run's peak resident set with peakrss (wait4): both must print GOLDEN's output and exit 0,
# and the longer run's peak must lie within 10% of the shorter one's (memory stays bounded),
# in one of two pairs of runs.
# With MIN_CYCLES, each run's collector report (TESSEL_GC_REPORT) must show at least that many
# incremental cycles and no global or full collection.
# Inputs: MKIMAGE, TESSEL, PEAKRSS, KERNEL_DIR, SOURCE, NAME, GOLDEN (path without suffix),
# WORK, STEPS, MIN_CYCLES (optional), ENV (optional NAME=value settings for the engine),
# LIMIT (seconds for each run, default 60).
if(NOT DEFINED LIMIT)
  set(LIMIT 60)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/makeImage.cmake)
file(READ ${GOLDEN}.out want_out)
separate_arguments(environment UNIX_COMMAND "${ENV}")
math(EXPR doubled "${STEPS} * 2")
# The incremental collector is paced by time as well as by allocation: on a starved machine it
# runs fewer cycles and the heap settles one growth step higher. A leak shows in every pair of
# runs, that step only in some, so a pair over the bound is measured once more.
foreach(attempt 1 2)
  set(peaks "")
  foreach(steps IN ITEMS ${STEPS} ${doubled})
    execute_process(COMMAND ${CMAKE_COMMAND} -E env TESSEL_GC_REPORT=1 ${environment}
                    ${PEAKRSS} ${TESSEL} -noherald ${image} ${NAME} ${steps} WORKING_DIRECTORY ${WORK}
                    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT ${LIMIT})
    if(NOT status EQUAL 0 OR NOT out STREQUAL want_out)
      message(FATAL_ERROR "${NAME} ${steps}: status ${status}\n${out}${err}")
    endif()
    if(NOT err MATCHES "peak RSS: ([0-9]+) KB")
      message(FATAL_ERROR "${NAME} ${steps}: no peak RSS in\n${err}")
    endif()
    list(APPEND peaks ${CMAKE_MATCH_1})
    if(DEFINED MIN_CYCLES)
      if(NOT err MATCHES "IGCs: ([0-9]+),")
        message(FATAL_ERROR "${NAME} ${steps}: no collector report in\n${err}")
      endif()
      if(CMAKE_MATCH_1 LESS MIN_CYCLES OR NOT err MATCHES "\nGGCs: 0, GCs: 0\n")
        message(FATAL_ERROR "${NAME} ${steps}: wanted ${MIN_CYCLES} incremental cycles or more and no other collection:\n${err}")
      endif()
    endif()
  endforeach()
  list(GET peaks 0 shorter)
  list(GET peaks 1 longer)
  math(EXPR bound "${shorter} + ${shorter} / 10")
  if(NOT longer GREATER bound)
    return()
  endif()
  message(STATUS "${NAME}: peak RSS ${longer} KB after ${doubled} steps, ${shorter} KB after ${STEPS}; measuring again")
endforeach()
message(FATAL_ERROR "${NAME}: peak RSS ${longer} KB after ${doubled} steps, ${shorter} KB after ${STEPS}")
