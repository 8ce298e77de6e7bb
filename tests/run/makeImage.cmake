# Builds WORK/NAME.im (the variable image) with mkimage from the kernel library and SOURCE,
# with the mkimage options of NAME.mkimage beside the source (for images no source can
# express). Inputs: MKIMAGE, KERNEL_DIR, SOURCE, NAME, WORK, EMULATOR (the programs' prefix,
# empty for native ones). The image is then named relative to WORK, where the runs start: an
# absolute Unix path would read as a '/' option on Windows.
file(GLOB kernel ${KERNEL_DIR}/*.som)
file(MAKE_DIRECTORY ${WORK})
set(image ${WORK}/${NAME}.im)
get_filename_component(sourceDir ${SOURCE} DIRECTORY)
set(mkoptions "")
if(EXISTS ${sourceDir}/${NAME}.mkimage)
  file(STRINGS ${sourceDir}/${NAME}.mkimage mkoptions LIMIT_COUNT 1)
  separate_arguments(mkoptions UNIX_COMMAND "${mkoptions}")
endif()
execute_process(COMMAND ${EMULATOR} ${MKIMAGE} -o ${image} ${mkoptions} ${kernel} ${SOURCE} --args ${NAME}
                RESULT_VARIABLE made OUTPUT_VARIABLE made_out ERROR_VARIABLE made_err)
if(NOT made EQUAL 0)
  message(FATAL_ERROR "mkimage failed (${made}):\n${made_out}${made_err}")
endif()
set(image ${NAME}.im)
