# Runs the Snapshot example and then the image it saved, twice: each run resumes the newest
# generation, which saves the next over the same file. The outputs in order are compared with
# the golden file, and every run must exit 0.
# Inputs: MKIMAGE, TESSEL, KERNEL_DIR, SOURCE, GOLDEN (the .out file), WORK, OPTIONS.
file(GLOB kernel ${KERNEL_DIR}/*.som)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${EMULATOR} ${MKIMAGE} -o ${WORK}/Snapshot.im ${kernel} ${SOURCE} --args Snapshot saved.im
                RESULT_VARIABLE made OUTPUT_VARIABLE made_out ERROR_VARIABLE made_err)
if(NOT made EQUAL 0)
  message(FATAL_ERROR "mkimage failed (${made}):\n${made_out}${made_err}")
endif()
separate_arguments(options UNIX_COMMAND "${OPTIONS}")
set(all "")
foreach(image Snapshot.im saved.im saved.im)
  execute_process(COMMAND ${EMULATOR} ${TESSEL} -noherald ${options} ${image} WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  if(NOT status STREQUAL "0" OR NOT err STREQUAL "")
    message(FATAL_ERROR "${image}: status ${status}\n${out}${err}")
  endif()
  string(APPEND all "${out}")
endforeach()
file(READ ${GOLDEN} want)
if(NOT all STREQUAL want)
  message(FATAL_ERROR "output differs:\n--- got\n${all}--- expected\n${want}")
endif()
