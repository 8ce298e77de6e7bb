# Damaged-body runs: builds WORK/NAME.im with mkimage from the kernel library and SOURCE, its
# program's arguments ARGS (with SAVED set, runs it once, the program saving itself as
# WORK/SAVED, and damages that image instead), then runs COUNT damaged copies of its body
# through the real engine with body_flip from SEED, each under LIMIT seconds: none may end by
# a signal or outlive the limit.
# Inputs: MKIMAGE, TESSEL, BODYFLIP, KERNEL_DIR, SOURCE, NAME, ARGS, SAVED, WORK, SEED, COUNT, LIMIT.
file(GLOB kernel ${KERNEL_DIR}/*.som)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
separate_arguments(arguments UNIX_COMMAND "${ARGS}")
set(image ${WORK}/${NAME}.im)
execute_process(COMMAND ${MKIMAGE} -o ${image} ${kernel} ${SOURCE} --args ${NAME} ${arguments}
                RESULT_VARIABLE made OUTPUT_VARIABLE made_out ERROR_VARIABLE made_err)
if(NOT made EQUAL 0)
  message(FATAL_ERROR "mkimage failed (${made}):\n${made_out}${made_err}")
endif()
if(DEFINED SAVED)
  execute_process(COMMAND ${TESSEL} -noherald ${image} WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  if(NOT status EQUAL 0 OR NOT EXISTS ${WORK}/${SAVED})
    message(FATAL_ERROR "${NAME} did not save ${SAVED}: status ${status}\n${out}${err}")
  endif()
  set(image ${WORK}/${SAVED})
endif()
execute_process(COMMAND ${BODYFLIP} ${TESSEL} ${image} ${SEED} ${COUNT} ${LIMIT} ${WORK} WORKING_DIRECTORY ${WORK}
                RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NAME}:\n${err}")
endif()
message(STATUS "${err}")
