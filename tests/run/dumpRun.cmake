# Runs the DumpWaiting program with -xq and QZ_LOG_DIR: the dump written on exit goes to
# stack.txt there and, with addresses, the time and the space printers' figures made
# uniform, equals the golden file; a second run appends a second dump; a log directory that
# cannot be opened gives no file and the same status and output.
# Inputs: MKIMAGE, TESSEL, KERNEL_DIR, SOURCE, GOLDEN, WORK.
file(GLOB kernel ${KERNEL_DIR}/*.som)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/logs)
execute_process(COMMAND ${EMULATOR} ${MKIMAGE} -o ${WORK}/Dump.im ${kernel} ${SOURCE} --args DumpWaiting
                RESULT_VARIABLE made OUTPUT_VARIABLE made_out ERROR_VARIABLE made_err)
if(NOT made EQUAL 0)
  message(FATAL_ERROR "mkimage failed (${made}):\n${made_out}${made_err}")
endif()

function(run_with_logs dir)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env QZ_LOG_DIR=${dir} ${EMULATOR} ${TESSEL} -noherald -xq Dump.im
                  WORKING_DIRECTORY ${WORK} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  if(NOT status STREQUAL "0" OR NOT out STREQUAL "three waiting\n" OR NOT err STREQUAL "")
    message(FATAL_ERROR "QZ_LOG_DIR=${dir}: status ${status}\n${out}${err}")
  endif()
endfunction()

# Addresses, the time line, the space printers' figures (their lines begin with a tab) and
# the tenure threshold vary with the run, the sizes and the kernel library; the rest is
# compared as it is.
function(normalised out)
  file(READ ${WORK}/logs/stack.txt text)
  string(REGEX REPLACE "0x[0-9a-f]+" "0x?" text "${text}")
  string(REGEX REPLACE "\n[A-Z][a-z][a-z] [A-Z][a-z][a-z] [ 0-9][0-9] [0-9:]+ [0-9]+\n" "\n<time>\n" text "${text}")
  string(REGEX REPLACE "tenure threshold: [0-9]+" "tenure threshold: N" text "${text}")
  set(result "")
  while(NOT text STREQUAL "")
    string(FIND "${text}" "\n" end)
    if(end EQUAL -1)
      set(line "${text}")
      set(text "")
    else()
      math(EXPR next "${end} + 1")
      string(SUBSTRING "${text}" 0 ${next} line)
      string(SUBSTRING "${text}" ${next} -1 text)
    endif()
    if(line MATCHES "^\t")
      string(REGEX REPLACE "[0-9]+" "N" line "${line}")
    endif()
    string(APPEND result "${line}")
  endwhile()
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

file(READ ${GOLDEN} want)
run_with_logs(${WORK}/logs)
normalised(once)
if(NOT once STREQUAL want)
  message(FATAL_ERROR "stack.txt differs:\n--- got\n${once}--- expected\n${want}")
endif()
run_with_logs(${WORK}/logs)
normalised(twice)
if(NOT twice STREQUAL "${want}${want}")
  message(FATAL_ERROR "the second run did not append its dump:\n${twice}")
endif()
run_with_logs(${WORK}/missing/logs)
if(EXISTS ${WORK}/missing)
  message(FATAL_ERROR "a dump was written where the log directory could not be opened")
endif()
