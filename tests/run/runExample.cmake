# Runs one example program through the real engine: builds its image with mkimage from the
# kernel library and the example, runs tessel on it with OPTIONS under a time limit, and
# compares standard output, standard error and the exit status with the golden files.
# Inputs: MKIMAGE, TESSEL, KERNEL_DIR, SOURCE, NAME, GOLDEN (path without suffix), WORK, OPTIONS,
# ENV (optional NAME=value settings for the engine's environment).
file(GLOB kernel ${KERNEL_DIR}/*.som)
file(MAKE_DIRECTORY ${WORK})
set(image ${WORK}/${NAME}.im)
execute_process(COMMAND ${MKIMAGE} -o ${image} ${kernel} ${SOURCE} --args ${NAME}
                RESULT_VARIABLE made OUTPUT_VARIABLE made_out ERROR_VARIABLE made_err)
if(NOT made EQUAL 0)
  message(FATAL_ERROR "mkimage failed (${made}):\n${made_out}${made_err}")
endif()
separate_arguments(options UNIX_COMMAND "${OPTIONS}")
separate_arguments(environment UNIX_COMMAND "${ENV}")
execute_process(COMMAND ${CMAKE_COMMAND} -E env ${environment} ${TESSEL} -noherald ${options} ${image} WORKING_DIRECTORY ${WORK}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
file(READ ${GOLDEN}.out want_out)
set(want_err "")
if(EXISTS ${GOLDEN}.err)
  file(READ ${GOLDEN}.err want_err)
endif()
set(want_status 0)
if(EXISTS ${GOLDEN}.status)
  file(STRINGS ${GOLDEN}.status want_status LIMIT_COUNT 1)
endif()
set(failures "")
if(NOT status STREQUAL want_status)
  string(APPEND failures "status ${status}, expected ${want_status}\n")
endif()
if(NOT out STREQUAL want_out)
  string(APPEND failures "standard output differs:\n--- got\n${out}--- expected\n${want_out}")
endif()
if(NOT err STREQUAL want_err)
  string(APPEND failures "standard error differs:\n--- got\n${err}--- expected\n${want_err}")
endif()
if(NOT failures STREQUAL "")
  message(FATAL_ERROR "${NAME} ${OPTIONS}: ${failures}")
endif()
