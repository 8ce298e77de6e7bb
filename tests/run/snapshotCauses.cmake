# Runs the SnapshotCauses program over a directory that holds a plain file and a directory
# without write permission: each refused save must print the platform error it carries, as
# the golden file says, and leave the directory as it was but for the one good save. As root
# the run drops the capabilities that pass over file permissions, so the permission case
# still fails.
# Inputs: MKIMAGE, TESSEL, KERNEL_DIR, SOURCE, GOLDEN, WORK.
file(GLOB kernel ${KERNEL_DIR}/*.som)
if(EXISTS ${WORK}/saves/locked)
  file(CHMOD ${WORK}/saves/locked DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
endif()
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/saves/locked)
file(WRITE ${WORK}/saves/plain "a plain file")
file(CHMOD ${WORK}/saves/locked DIRECTORY_PERMISSIONS OWNER_READ OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
     WORLD_READ WORLD_EXECUTE)
execute_process(COMMAND ${MKIMAGE} -o ${WORK}/Causes.im ${kernel} ${SOURCE} --args SnapshotCauses saves
                RESULT_VARIABLE made OUTPUT_VARIABLE made_out ERROR_VARIABLE made_err)
if(NOT made EQUAL 0)
  message(FATAL_ERROR "mkimage failed (${made}):\n${made_out}${made_err}")
endif()
set(unprivileged "")
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
if(uid STREQUAL "0")
  find_program(SETPRIV setpriv REQUIRED)
  set(unprivileged ${SETPRIV} --inh-caps=-dac_override,-dac_read_search --bounding-set=-dac_override,-dac_read_search)
endif()
execute_process(COMMAND ${unprivileged} ${TESSEL} -noherald Causes.im WORKING_DIRECTORY ${WORK}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
file(CHMOD ${WORK}/saves/locked DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
set(failures "")
if(NOT status STREQUAL "0" OR NOT err STREQUAL "")
  string(APPEND failures "status ${status}\n${err}")
endif()
file(READ ${GOLDEN} want)
if(NOT out STREQUAL want)
  string(APPEND failures "output differs:\n--- got\n${out}--- expected\n${want}")
endif()
file(GLOB_RECURSE left LIST_DIRECTORIES true RELATIVE ${WORK}/saves ${WORK}/saves/*)
list(SORT left)
if(NOT left STREQUAL "locked;plain;saved.im")
  string(APPEND failures "saves/ holds ${left}\n")
endif()
file(READ ${WORK}/saves/plain plain)
if(NOT plain STREQUAL "a plain file")
  string(APPEND failures "saves/plain changed\n")
endif()
if(NOT failures STREQUAL "")
  message(FATAL_ERROR "${failures}")
endif()
