# Runs a program that saves itself to saved.im, and then that image RUNS times: each run
# resumes the newest generation, which may save the next over the file it was loaded from.
# The outputs in order are compared with the golden file, and every run must exit 0 with
# nothing on standard error.
# Inputs: MKIMAGE, TESSEL, IMAGEZIP, KERNEL_DIR, SOURCE, PROGRAM (its class), ARGS (the
# program's arguments after the file name), RUNS, GOLDEN, WORK, OPTIONS (every run),
# RESUME_OPTIONS (the first resumed run), ZIP (a compression level: the first saved image is
# compressed before it is resumed), STRESS (TESSEL_SCAVENGE_STRESS).
file(GLOB kernel ${KERNEL_DIR}/*.som)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${EMULATOR} ${MKIMAGE} -o ${WORK}/State.im ${kernel} ${SOURCE} --args ${PROGRAM} saved.im ${ARGS}
                RESULT_VARIABLE made OUTPUT_VARIABLE made_out ERROR_VARIABLE made_err)
if(NOT made EQUAL 0)
  message(FATAL_ERROR "mkimage failed (${made}):\n${made_out}${made_err}")
endif()
if(DEFINED STRESS)
  set(ENV{TESSEL_SCAVENGE_STRESS} ${STRESS})
endif()
separate_arguments(options UNIX_COMMAND "${OPTIONS}")
separate_arguments(resume UNIX_COMMAND "${RESUME_OPTIONS}")
set(all "")
set(extra "")
set(images State.im)
foreach(i RANGE 1 ${RUNS})
  list(APPEND images saved.im)
endforeach()
foreach(image IN LISTS images)
  execute_process(COMMAND ${EMULATOR} ${TESSEL} -noherald ${options} ${extra} ${image} WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 240)
  if(NOT status STREQUAL "0" OR NOT err STREQUAL "")
    message(FATAL_ERROR "${image} ${OPTIONS} ${extra}: status ${status}\n${all}${out}${err}")
  endif()
  string(APPEND all "${out}")
  if(image STREQUAL "State.im" AND DEFINED ZIP)
    execute_process(COMMAND ${EMULATOR} ${IMAGEZIP} -${ZIP} saved.im zipped.im WORKING_DIRECTORY ${WORK} RESULT_VARIABLE zipped)
    if(NOT zipped EQUAL 0)
      message(FATAL_ERROR "imagezip failed (${zipped})")
    endif()
    file(RENAME ${WORK}/zipped.im ${WORK}/saved.im)
  endif()
  if(image STREQUAL "State.im")
    set(extra ${resume})
  else()
    set(extra "")
  endif()
endforeach()
file(READ ${GOLDEN} want)
if(NOT all STREQUAL want)
  message(FATAL_ERROR "output differs:\n--- got\n${all}--- expected\n${want}")
endif()
